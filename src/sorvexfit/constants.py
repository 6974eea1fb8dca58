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
G_NEWTON = 6.67430e-8  # cm^3 g^-1 s^-2
K_BOLTZMANN = 1.380649e-16  # erg K^-1
SIGMA_SB = 5.670374419e-5  # erg cm^-2 s^-1 K^-4
M_SUN = 1.98847e33  # g (IAU 2015 nominal GM_sun / G)
M_PROTON = 1.67262192369e-24  # g (CODATA 2018)
# The Eddington luminosity per solar mass, 4π G M_sun m_p c / σ_T ≈ 1.26e38 erg s^-1.
L_EDD_PER_M_SUN = 4.0 * math.pi * G_NEWTON * M_SUN * M_PROTON * C_LIGHT / SIGMA_T
T_CMB = 2.725  # K, today (Fixsen 2009, ApJ 707, 916)
