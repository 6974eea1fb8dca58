// The shell's D(w) = 2 int_0^pi dphi u(mu(phi)), mu = cos chi the direction cosine of a beam to the
// radial direction, is an elliptic integral. On the circle of beams at psi around a direction at
// `view` to the radial one, mu = a + b cos phi runs between mu1 = cos(psi + view) and
// mu2 = cos(psi - view), and dphi = dmu / sqrt((mu2 - mu)(mu - mu1)):
//   inside (rho < R):  u = C / sqrt(rho^2 mu^2 + R^2 - rho^2),  C = L / (16 pi^2 R c),
//     D = 2 C int_mu1^mu2 dmu / sqrt((mu2 - mu)(mu - mu1)(rho^2 mu^2 + q)) = 4 C K(m) / sqrt(A B),
//     A = sqrt(rho^2 mu2^2 + q), B = sqrt(rho^2 mu1^2 + q),
//     1 - m = ((A + B)^2 - rho^2 (mu2 - mu1)^2) / (4 A B)  (Byrd & Friedman 1971, 259.00);
//   outside (rho > R): u = 2 C / (rho sqrt(mu^2 - kappa^2)) for mu > kappa = cos(asin(R / rho)),
//     D = (4 C / rho) int dmu / sqrt((mu2 - mu)(mu - mu1)(mu - kappa)(mu + kappa)) over mu > kappa,
//     with roots r1 > r2 > r3 > r4: 2 K(m) / sqrt((r1 - r3)(r2 - r4)),
//     1 - m = (r1 - r4)(r2 - r3) / ((r1 - r3)(r2 - r4))  (Byrd & Friedman 1971, 256.00).
// The differences of cosines are written as products of sines, free of cancellation.
#include "core/radiation/exact/external_fields.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "core/common/constants.hpp"
#include "core/radiation/exact/arguments.hpp"
#include "core/radiation/exact/quadrature_rules.hpp"

namespace sorvex::exact::fields {
namespace {

using constants::pi;
constexpr double c_light = constants::speed_of_light;
constexpr double rest_energy = constants::electron_rest_energy;
/// Photons per cm^3 per unit eps per sr of a blackbody, over eps^2 / expm1(eps / theta):
/// 2 / lambda_C^3, lambda_C = h / (m_e c).
constexpr double compton_wavelength = constants::planck / (constants::electron_mass * c_light);
constexpr double blackbody_photons =
    2.0 / (compton_wavelength * compton_wavelength * compton_wavelength);

using InnerRule = rules::GaussLegendre<6>;  ///< nodes next to the inner edge of the disk
using RadiusRule = rules::GaussLegendre<4>; ///< nodes of a piece in ln R

/// Azimuth nodes on [0, pi] (the fields are even in phi) with weights summing to 2 pi: the
/// trapezoidal rule, exact to rounding for smooth periodic integrands as the count grows.
template <class F>
void azimuth_nodes(bool axisymmetric, std::size_t count, F&& f) {
    if (axisymmetric || count < 2) {
        f(1.0, 0.0, 2.0 * pi);
        return;
    }
    const double step = pi / static_cast<double>(count);
    for (std::size_t j = 0; j <= count; ++j) {
        const double phi = step * static_cast<double>(j);
        const double weight = (j == 0 || j == count) ? step : 2.0 * step;
        f(std::cos(phi), std::sin(phi), weight);
    }
}

/// w = 1 - k.s for the unit vector k along d, as |k - s|^2 / 2 (no cancellation).
double one_minus_cos(double dx, double dy, double dz, double length, Vec3 s) {
    const double ex = dx / length - s.x;
    const double ey = dy / length - s.y;
    const double ez = dz / length - s.z;
    return 0.5 * (ex * ex + ey * ey + ez * ez);
}

bool on_axis(Vec3 p, Vec3 s) {
    return p.x == 0.0 && p.y == 0.0 && s.x == 0.0 && s.y == 0.0;
}

/// 2 sin(a) sin(b): cos(b - a) - cos(b + a), the difference of two cosines.
double cosine_difference(double half_sum, double half_difference) {
    return 2.0 * std::sin(half_sum) * std::sin(half_difference);
}

} // namespace

void require_disk(double l_disk, double m_bh, double eta, double r_in, double r_out) {
    require_non_negative("l_disk", l_disk);
    require_positive("m_bh", m_bh);
    require_positive("eta", eta);
    require_positive("r_in", r_in);
    require_positive("r_out", r_out);
    if (!(r_out > r_in)) {
        invalid_argument("r_out", "must exceed r_in");
    }
}

void require_blr(double l_disk, double xi_line, double nu_line, double r_line, double r) {
    require_non_negative("l_disk", l_disk);
    require_non_negative("xi_line", xi_line);
    require_positive("nu_line", nu_line);
    require_positive("r_line", r_line);
    require_positive("r", r);
    if (r == r_line) {
        invalid_argument("r", "must differ from r_line (the field diverges on the shell)");
    }
}

void require_torus(double l_disk, double xi_dt, double t_dt, double r_dt) {
    require_non_negative("l_disk", l_disk);
    require_non_negative("xi_dt", xi_dt);
    require_positive("t_dt", t_dt);
    require_positive("r_dt", r_dt);
}

double elliptic_k_complement(double m_complement) {
    double a = 1.0;
    double b = std::sqrt(std::max(m_complement, 1e-300));
    for (int k = 0; k < 40 && std::fabs(a - b) > 1e-15 * a; ++k) {
        const double next = 0.5 * (a + b);
        b = std::sqrt(a * b);
        a = next;
    }
    return pi / (a + b);
}

Disk::Disk(double luminosity, double mass, double efficiency, double r_in_rg, double r_out_rg,
           double piece) {
    const double r_g = constants::gravitational * mass / (c_light * c_light);
    r_in_ = r_in_rg * r_g;
    r_out_ = r_out_rg * r_g;
    const double accretion = luminosity / (efficiency * c_light * c_light);
    // theta^4 = (k / m_e c^2)^4 3 G M Mdot / (8 pi sigma_SB R^3) (1 - sqrt(R_in / R))
    const double k_over = constants::boltzmann / rest_energy;
    const double scale = k_over * k_over * k_over * k_over * 3.0 * constants::gravitational * mass *
                         accretion / (8.0 * pi * constants::stefan_boltzmann);
    const auto add = [&](double radius, double weight) {
        const double flux = scale / (radius * radius * radius) * (1.0 - std::sqrt(r_in_ / radius));
        radius_.push_back(radius);
        weight_.push_back(weight);
        theta_.push_back(std::sqrt(std::sqrt(std::max(flux, 0.0))));
    };
    // Near R_in, T ~ (R - R_in)^(1/4): R = R_in + (R_b - R_in) v^4 makes T linear in v.
    const double r_b = std::min(2.0 * r_in_, r_out_);
    for (std::size_t k = 0; k < InnerRule::nodes.size(); ++k) {
        const double v = 0.5 + 0.5 * InnerRule::nodes[k];
        const double v3 = v * v * v;
        add(r_in_ + (r_b - r_in_) * v3 * v, 0.5 * InnerRule::weights[k] * 4.0 * (r_b - r_in_) * v3);
    }
    if (r_b < r_out_) {
        const double u_lo = std::log(r_b);
        const double u_hi = std::log(r_out_);
        const auto pieces =
            static_cast<std::size_t>(std::max(1.0, std::ceil((u_hi - u_lo) / piece)));
        const double width = (u_hi - u_lo) / static_cast<double>(pieces);
        for (std::size_t p = 0; p < pieces; ++p) {
            const double mid = u_lo + width * (static_cast<double>(p) + 0.5);
            for (std::size_t k = 0; k < RadiusRule::nodes.size(); ++k) {
                const double radius = std::exp(mid + 0.5 * width * RadiusRule::nodes[k]);
                add(radius, 0.5 * width * RadiusRule::weights[k] * radius);
            }
        }
    }
}

void Disk::beams(Vec3 p, Vec3 s, double scale, std::size_t azimuths,
                 std::vector<ThermalBeam>& out) const {
    azimuth_nodes(on_axis(p, s), azimuths, [&](double cos_phi, double sin_phi, double w_phi) {
        for (std::size_t k = 0; k < radius_.size(); ++k) {
            const double radius = radius_[k];
            const double dx = p.x - radius * cos_phi;
            const double dy = p.y - radius * sin_phi;
            const double x2 = dx * dx + dy * dy + p.z * p.z;
            const double x = std::sqrt(x2);
            // Solid angle of R dR dphi seen from p: dA (z / x) / x^2.
            const double solid_angle = radius * weight_[k] * w_phi * p.z / (x2 * x);
            out.push_back({one_minus_cos(dx, dy, p.z, x, s), theta_[k],
                           scale * blackbody_photons * solid_angle});
        }
    });
}

Torus::Torus(double luminosity, double temperature, double radius)
    : luminosity_(luminosity), theta_(constants::boltzmann * temperature / rest_energy),
      radius_(radius) {}

void Torus::beams(Vec3 p, Vec3 s, double scale, std::size_t azimuths,
                  std::vector<ThermalBeam>& out) const {
    // dL / (4 pi x^2 c m_e c^2) photons per unit energy shape 15 / (pi^4 theta^4) eps^2 / expm1.
    const double theta2 = theta_ * theta_;
    const double shape = 15.0 / (pi * pi * pi * pi * theta2 * theta2);
    azimuth_nodes(on_axis(p, s), azimuths, [&](double cos_phi, double sin_phi, double w_phi) {
        const double dx = p.x - radius_ * cos_phi;
        const double dy = p.y - radius_ * sin_phi;
        const double x2 = dx * dx + dy * dy + p.z * p.z;
        const double x = std::sqrt(x2);
        const double photons =
            luminosity_ * w_phi / (2.0 * pi) / (4.0 * pi * x2 * c_light * rest_energy) * shape;
        out.push_back({one_minus_cos(dx, dy, p.z, x, s), theta_, scale * photons});
    });
}

Shell::Shell(double luminosity, double radius) : luminosity_(luminosity), radius_(radius) {}

double Shell::density(double rho, double view, double w) const {
    if (!(w > 0.0 && w <= 2.0)) {
        return 0.0;
    }
    const double psi = 2.0 * std::asin(std::sqrt(0.5 * w));
    const double c = luminosity_ / (16.0 * pi * pi * radius_ * c_light);
    const double mu1 = std::cos(psi + view);
    const double mu2 = std::cos(psi - view);
    const double spread = 2.0 * std::sin(psi) * std::sin(view); // mu2 - mu1
    if (rho < radius_) {
        const double q = (radius_ - rho) * (radius_ + rho);
        const double a = std::sqrt(rho * rho * mu2 * mu2 + q);
        const double b = std::sqrt(rho * rho * mu1 * mu1 + q);
        const double complement = ((a + b) * (a + b) - rho * rho * spread * spread) / (4.0 * a * b);
        return 4.0 * c * elliptic_k_complement(complement) / std::sqrt(a * b);
    }
    // The cone of beams mu > kappa = cos(chi_e), sin(chi_e) = R / rho.
    const double chi = std::asin(radius_ / rho);
    const double kappa = std::cos(chi);
    // mu2 - kappa, mu1 - kappa, mu2 + kappa, mu1 + kappa as products of sines and cosines.
    const double top = cosine_difference(0.5 * (chi + psi - view), 0.5 * (chi - psi + view));
    if (!(top > 0.0)) {
        return 0.0;
    }
    const double low = cosine_difference(0.5 * (chi + psi + view), 0.5 * (chi - psi - view));
    const double top_sum =
        2.0 * std::cos(0.5 * (psi - view + chi)) * std::cos(0.5 * (psi - view - chi));
    const double low_sum =
        2.0 * std::cos(0.5 * (psi + view + chi)) * std::cos(0.5 * (psi + view - chi));
    double product = 0.0;    // (r1 - r3)(r2 - r4)
    double complement = 0.0; // (r1 - r4)(r2 - r3) / product
    if (low > 0.0) {
        // mu2 > mu1 > kappa > -kappa
        product = top * low_sum;
        complement = top_sum * low / product;
    } else if (low_sum >= 0.0) {
        // mu2 > kappa >= mu1 >= -kappa
        product = spread * 2.0 * kappa;
        complement = top_sum * (-low) / product;
    } else {
        // mu2 > kappa > -kappa > mu1
        product = top_sum * (-low);
        complement = spread * 2.0 * kappa / product;
    }
    if (!(product > 0.0)) {
        return 0.0;
    }
    return 4.0 * c / rho * 2.0 * elliptic_k_complement(complement) / std::sqrt(product);
}

double Shell::lowest(double rho, double view) const {
    if (rho < radius_) {
        return 0.0;
    }
    const double chi = std::asin(radius_ / rho);
    const double psi = std::max(view - chi, 0.0);
    const double half = std::sin(0.5 * psi);
    return 2.0 * half * half;
}

double Shell::highest(double rho, double view) const {
    if (rho < radius_) {
        return 2.0;
    }
    const double psi = std::asin(radius_ / rho) + view;
    if (psi >= pi) {
        return 2.0;
    }
    const double half = std::sin(0.5 * psi);
    return 2.0 * half * half;
}

std::vector<Break> Shell::breaks(double rho, double view) const {
    std::vector<Break> out;
    const auto add = [&](double psi, bool singular) {
        if (psi > 0.0 && psi < pi) {
            const double half = std::sin(0.5 * psi);
            out.push_back({2.0 * half * half, singular});
        }
    };
    if (rho < radius_) {
        // Near the shell the intensity peaks where beams graze it (mu = 0): at the circles whose
        // ends reach mu = 0.
        add(0.5 * pi - view, true);
        add(0.5 * pi + view, true);
    } else {
        const double chi = std::asin(radius_ / rho);
        add(view - chi, false); // the circle first touches the cone: a jump
        add(chi - view, true);  // touches its edge from inside: log (1/sqrt at view = 0)
        add(chi + view, false); // leaves it: a jump to zero
    }
    out.push_back({2.0, false});
    std::sort(out.begin(), out.end(), [](const Break& a, const Break& b) { return a.w < b.w; });
    return out;
}

} // namespace sorvex::exact::fields
