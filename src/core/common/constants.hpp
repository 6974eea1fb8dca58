// Physical constants (cgs) shared by several routines, each a single double used as is.
#pragma once

namespace sorvex::constants {

inline constexpr double speed_of_light = 29979245800.0;                       ///< cm s^-1
inline constexpr double planck = 6.62607015e-27;                              ///< erg s
inline constexpr double quarter_electron_rest_energy = 2.0467764442059716e-7; ///< m_e c^2 / 4, erg
inline constexpr double thomson_cross_section = 6.6524587321000005e-25;       ///< cm^2

} // namespace sorvex::constants
