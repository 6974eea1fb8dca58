// Specific intensity leaving a homogeneous blob or slab from its emissivity and absorption.
#pragma once

#include "core/common/grid.hpp"

namespace sorvex {

/// Intensity of a sphere of radius blob_radius (cm), one value per entry of j_nu.
Grid rad_trans_blob(double blob_radius, const Grid& j_nu, const Grid& a_nu);
/// Intensity of a slab of thickness blob_radius (cm), one value per entry of j_nu.
Grid rad_trans_slab(double blob_radius, const Grid& j_nu, const Grid& a_nu);

} // namespace sorvex
