"""Histogram rebinning, one old bin and one new bin at a time."""


def rebin_histogram(energy_axis, count_axis, new_energy_axis, start=None):
    """`start`: what the new bins hold before the sweep adds to them (zeros)."""
    old_n = len(count_axis)
    new_n = len(new_energy_axis) - 1
    new_counts = [0.0] * new_n if start is None else [float(x) for x in start]
    i = 0
    for j in range(old_n):
        old_left = float(energy_axis[j])
        old_right = float(energy_axis[j + 1])
        old_width = old_right - old_left
        if old_width <= 0:
            continue
        while i < new_n and new_energy_axis[i + 1] <= old_left:
            i += 1
        k = i
        while k < new_n and new_energy_axis[k] < old_right:
            new_left = float(new_energy_axis[k])
            new_right = float(new_energy_axis[k + 1])
            upper = new_right if old_right > new_right else old_right
            lower = new_left if new_left > old_left else old_left
            overlap = upper - lower
            if overlap > 0:
                new_counts[k] = new_counts[k] + (overlap / old_width) * float(count_axis[j])
            k += 1
    return new_counts
