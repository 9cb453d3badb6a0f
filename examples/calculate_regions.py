"""calculate_regions: the region boundaries of a few photopeaks.

Between consecutive boundaries lie the regions that respgrid_cy maps from
one incident energy to another: below the backscatter peak, up to the
Compton edge, up to the photopeak window (E_p - 10 to E_p + 10 keV), and
above it. With escape peaks (for photopeaks above 1022 keV) the single and
double escape peaks at E_p - 511 and E_p - 1022 keV join the list, which is
then sorted.

    python examples/calculate_regions.py
"""

from vantor.utils.numerics.accel import respgrid


def main():
    max_value = 3000.0   # keV, the top of the channel axis
    print(f"{'E_p':>8}  {'escape':6}  boundaries (keV)")
    for E_p in (59.5, 661.7, 1173.2, 1332.5, 2614.5):
        escape = E_p > 1022.0
        regions = respgrid.calculate_regions(E_p, max_value, escape)
        print(f"{E_p:8.1f}  {str(escape):6}  " + ", ".join(f"{x:.1f}" for x in regions))

    # The lower end is the int 0; the escape switch must be a bool or None.
    regions = respgrid.calculate_regions(661.7, max_value, None)
    print(f"first item: {regions[0]!r} ({type(regions[0]).__name__})")
    try:
        respgrid.calculate_regions(661.7, max_value, 1)
    except TypeError as exc:
        print(f"an int switch is refused: {exc}")


if __name__ == "__main__":
    main()
