"""Physical constants in cgs units, with the values the sorvex kernels use."""

from __future__ import annotations

import math

C_LIGHT = 29979245800.0  # cm s^-1
H_PLANCK = 6.62607015e-27  # erg s
SIGMA_T = 6.6524587321000005e-25  # cm^2, Thomson cross-section
ME_C2 = 4.0 * 2.0467764442059716e-7  # erg, electron rest energy
M_E = ME_C2 / C_LIGHT**2  # g
E_CHARGE = 4.803204712570263e-10  # esu
NU_B_PER_GAUSS = 2799248.987233304  # Hz G^-1, e / (2 pi m_e c)
FOUR_PI = 4.0 * math.pi
