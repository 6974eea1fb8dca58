// Timing driver of the accurate radiation kernels, without Python: bench/section_kernels.py
// builds it and talks to it through standard input and output.
//
// Input: one call per run. The first line names the kernel and the repetitions:
//   synchrotron|inverse_compton|inverse_compton_line|gamma_gamma_opacity REPEATS
// then one line per argument, "name v1 v2 ..." (numbers as %.17g), in the order of the call:
//   synchrotron: nu gamma n b_field absorption(0/1)
//   inverse_compton: nu seed_nu seed_intensity gamma n
//   inverse_compton_line: nu u nu0 gamma n
//   gamma_gamma_opacity: nu seed_nu seed_intensity radius
// Output: "seconds BEST" (fastest of the repetitions, wall clock), "threads N", then one line
// per result array, "name v1 v2 ...".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/common/stop.hpp"
#include "core/parallel/worker_pool.hpp"
#include "core/radiation/exact/gamma_gamma.hpp"
#include "core/radiation/exact/inverse_compton.hpp"
#include "core/radiation/exact/synchrotron.hpp"

namespace {

using Vector = std::vector<double>;

void print(const char* name, const Vector& values) {
    std::printf("%s", name);
    for (const double v : values) {
        std::printf(" %.17g", v);
    }
    std::printf("\n");
}

template <class Call>
double best_seconds(int repeats, Call&& call) {
    double best = std::numeric_limits<double>::infinity();
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        call();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    return best;
}

} // namespace

int main() {
    std::string kernel;
    int repeats = 1;
    std::cin >> kernel >> repeats;
    std::map<std::string, Vector> args;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string name;
        if (!(words >> name)) {
            continue;
        }
        Vector values;
        double v = 0.0;
        while (words >> v) {
            values.push_back(v);
        }
        args[name] = values;
    }
    const auto scalar = [&](const char* name) { return args.at(name).at(0); };
    try {
        std::printf("threads %zu\n", sorvex::parallel::pool_size());
        if (kernel == "synchrotron") {
            sorvex::exact::SynchrotronSpectrum out;
            const bool absorption = scalar("absorption") != 0.0;
            const double s = best_seconds(repeats, [&] {
                out = sorvex::exact::synchrotron(args.at("nu"), args.at("gamma"), args.at("n"),
                                                 scalar("b_field"), absorption);
            });
            std::printf("seconds %.9g\n", s);
            print("j_nu", out.j_nu);
            print("alpha_nu", out.alpha_nu);
        } else if (kernel == "inverse_compton") {
            Vector out;
            const double s = best_seconds(repeats, [&] {
                out = sorvex::exact::inverse_compton(args.at("nu"), args.at("seed_nu"),
                                                     args.at("seed_intensity"), args.at("gamma"),
                                                     args.at("n"));
            });
            std::printf("seconds %.9g\n", s);
            print("j_nu", out);
        } else if (kernel == "inverse_compton_line") {
            Vector out;
            const double s = best_seconds(repeats, [&] {
                out = sorvex::exact::inverse_compton_line(args.at("nu"), scalar("u"), scalar("nu0"),
                                                          args.at("gamma"), args.at("n"));
            });
            std::printf("seconds %.9g\n", s);
            print("j_nu", out);
        } else if (kernel == "gamma_gamma_opacity") {
            Vector out;
            const double s = best_seconds(repeats, [&] {
                out = sorvex::exact::gamma_gamma_opacity(
                    args.at("nu"), args.at("seed_nu"), args.at("seed_intensity"), scalar("radius"));
            });
            std::printf("seconds %.9g\n", s);
            print("tau", out);
        } else {
            std::fprintf(stderr, "unknown kernel %s\n", kernel.c_str());
            return 2;
        }
    } catch (const sorvex::Stop& stop) {
        std::fprintf(stderr, "stop: %s\n", stop.what());
        return 1;
    } catch (const std::out_of_range&) {
        std::fprintf(stderr, "missing argument\n");
        return 2;
    }
    return 0;
}
