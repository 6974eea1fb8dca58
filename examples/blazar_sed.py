"""Placeholder main job: Lorentz factors of a table of speeds."""

import sorvex


def main() -> None:
    betas = [0.0, 0.5, 0.9, 0.99, 0.999]
    gammas = sorvex.gofb(betas)
    print(f"{'beta':>8} {'gamma':>12} {'bofg(gamma)':>12}")
    for beta, gamma, back in zip(betas, gammas, sorvex.bofg(gammas), strict=True):
        print(f"{beta:8.3f} {gamma:12.6f} {back:12.6f}")


if __name__ == "__main__":
    main()
