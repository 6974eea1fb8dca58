// Physical constants of the accurate radiation kernels (cgs, CODATA 2018).
#pragma once

namespace sorvex::exact::constants {

inline constexpr double speed_of_light = 29979245800.0;           ///< cm s^-1
inline constexpr double planck = 6.62607015e-27;                  ///< erg s
inline constexpr double electron_charge = 4.803204712570263e-10;  ///< esu
inline constexpr double electron_mass = 9.1093837015e-28;         ///< g
inline constexpr double electron_rest_energy = 8.1871057769e-07;  ///< m_e c^2, erg
inline constexpr double thomson_cross_section = 6.6524587321e-25; ///< cm^2
inline constexpr double pi = 3.141592653589793;
inline constexpr double sqrt3 = 1.7320508075688772;

/// Gyro-frequency per gauss, nu_B / B = e / (2 pi m_e c), in Hz G^-1.
inline constexpr double gyro_frequency_per_gauss =
    electron_charge / (2.0 * pi * electron_mass * speed_of_light);
/// h / (m_e c^2): photon energy in units of the electron rest energy per Hz.
inline constexpr double planck_over_rest_energy = planck / electron_rest_energy;

} // namespace sorvex::exact::constants
