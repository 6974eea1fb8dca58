// Physical constants in cgs units (CODATA 2018), and the products that several routines share.
//
// The results of the twelve sorvex functions are fixed to the bits they have always had. Where
// one of them rests on a value other than the one here, that value is kept beside it, in its own
// source file, with a comment that says so: ic_iso_powlaw_full and ic_iso_monochrome_full use
// sigma_T one unit in the last place above this one, and m_e c^2 / 4 from m_e c^2 = m_e * c^2.
#pragma once

namespace sorvex::constants {

inline constexpr double speed_of_light = 29979245800.0;           ///< c, cm s^-1 (exact)
inline constexpr double planck = 6.62607015e-27;                  ///< h, erg s (exact)
inline constexpr double electron_charge = 4.803204712570263e-10;  ///< e, esu (exact)
inline constexpr double electron_mass = 9.1093837015e-28;         ///< m_e, g
inline constexpr double electron_rest_energy = 8.1871057769e-07;  ///< m_e c^2, erg
inline constexpr double thomson_cross_section = 6.6524587321e-25; ///< sigma_T, cm^2
inline constexpr double gravitational = 6.67430e-8;               ///< G, cm^3 g^-1 s^-2
inline constexpr double stefan_boltzmann = 5.670374419e-5;        ///< erg cm^-2 s^-1 K^-4 (exact)
inline constexpr double boltzmann = 1.380649e-16;                 ///< k_B, erg K^-1 (exact)
inline constexpr double pi = 3.141592653589793;
inline constexpr double sqrt3 = 1.7320508075688772;

/// Gyro-frequency per gauss, nu_B / B = e / (2 pi m_e c), in Hz G^-1.
inline constexpr double gyro_frequency_per_gauss =
    electron_charge / (2.0 * pi * electron_mass * speed_of_light);
/// h / (m_e c^2): photon energy in units of the electron rest energy per Hz.
inline constexpr double planck_over_rest_energy = planck / electron_rest_energy;

/// Synchrotron emissivity of isotropic pitch angles, j_nu = sqrt(3) e^2 nu_B / (2 c) int n R:
/// sqrt(3) e^2 / (2 c).
inline constexpr double synchrotron_emission =
    sqrt3 * electron_charge * electron_charge / (2.0 * speed_of_light);
/// Its absorption, alpha_nu = sqrt(3) e^2 nu_B / (4 m_e c nu^2) int ...: sqrt(3) e^2 / (4 m_e c).
inline constexpr double synchrotron_absorption =
    sqrt3 * electron_charge * electron_charge / (4.0 * electron_mass * speed_of_light);

} // namespace sorvex::constants
