"""Region boundaries of a few photopeaks, as the response interpolation sees them."""

from vantor.utils.numerics.accel import respgrid


def main() -> None:
    max_value = 3000.0
    print(f"{'E_p':>8}  escape  boundaries (keV)")
    for E_p in (100.0, 661.7, 1173.2, 1332.5, 2614.5):
        escape = E_p > 1022.0
        regions = respgrid.calculate_regions(E_p, max_value, escape)
        print(f"{E_p:8.1f}  {str(escape):6}  " + ", ".join(f"{x:.1f}" for x in regions))


if __name__ == "__main__":
    main()
