#include "ab_initio_mass.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <stdexcept>
#include <string_view>

#include "biot_savart.h"
#include "file_access.h"
#include "frenet_helicity.h"
#include "potential_timefield.h"

namespace qel {

// ---------------------------------------------------------------------------
// Master dictionary and the golden mass law
// ---------------------------------------------------------------------------

const std::map<std::string, QELKnotInvariants> QEL_MASTER_DICTIONARY = {
    {"Knot 10_1 (Twist)", {3.0, 1}},
    {"Knot 11_1 (Torus)", {2.0, 5}},
    {"Knot 12a1202", {3.0, 3}},
    {"Knot 15a331", {3.0, 4}},
    {"Knot 3_1 (Trefoil)", {2.0, 1}},
    {"Knot 4_1 (Figure-Eight)", {3.0, 1}},
    {"Knot 5_1 (Torus)", {2.0, 2}},
    {"Knot 5_2 (Twist)", {3.0, 1}},
    {"Knot 6_1 (Twist)", {3.0, 1}},
    {"Knot 6_2", {3.0, 1}},
    {"Knot 6_3", {3.0, 1}},
    {"Knot 7_1 (Torus)", {2.0, 3}},
    {"Knot 7_2 (Twist)", {3.0, 1}},
    {"Knot 8_1 (Twist)", {3.0, 1}},
    {"Knot 8_12", {3.0, 2}},
    {"Knot 8_17", {3.0, 1}},
    {"Knot 8_19 (T_3,4)", {3.0, 3}},
    {"Knot 8_2", {3.0, 2}},
    {"Knot 8_21", {3.0, 2}},
    {"Knot 8_9", {3.0, 1}},
    {"Knot 9_1 (Torus)", {2.0, 4}},
    {"Knot 9_2 (Twist)", {2.0, 1}},
    {"Link 2^2_1 (Hopf Link)", {2.0, 0}},
    {"Link 4^2_1 (Solomon's)", {2.0, 1}},
    {"Link 5^2_1 (Whitehead)", {3.0, 1}},
    {"Link 6^2_1", {3.0, 1}},
    {"Link 6^3_1", {3.0, 0}},
    {"Link 6^3_2 (Borromean)", {3.0, 1}},
    {"Link 6^3_3", {3.0, 1}},
    {"Link 8^2_1", {3.0, 2}},
    {"Unknot", {1.0, 0}},
    {"Unlink", {1.0, 0}},
};

namespace {

// Mass law m = K b phi^(-2g) c^2 / MeV, every step in 80-bit precision.
constexpr long double kZooK = 1.0056952998777338971e-54L;
constexpr long double kZooPhi = 1.6180339887498948482L;
constexpr long double kZooC2 = 89875517873681764.0L;  // 299792458^2, exact
// The joule-per-MeV double, widened: not the extended value nearest to the decimal.
constexpr long double kZooMeV = static_cast<long double>(1.602176634e-13);

double golden_mass(const QELKnotInvariants &inv) {
    const long double x = kZooK * static_cast<long double>(inv.bridge_b);
    const long double p = std::pow(kZooPhi, static_cast<long double>(-2 * inv.genus_g));
    const long double mass = ((p * x) * kZooC2) / kZooMeV;
    return static_cast<double>(mass);
}

}  // namespace

double ZooEvaluator::get_entry_mass(const std::string &identifier) {
    const auto it = QEL_MASTER_DICTIONARY.find(identifier);
    if (it == QEL_MASTER_DICTIONARY.end()) return -1.0;
    return golden_mass(it->second);
}

std::vector<ZooEvaluator::Result> ZooEvaluator::evaluate_all_golden_nls() {
    std::vector<Result> out;
    out.reserve(QEL_MASTER_DICTIONARY.size());
    for (const auto &entry : QEL_MASTER_DICTIONARY) {
        out.push_back(Result{entry.first, golden_mass(entry.second), entry.second.bridge_b, entry.second.genus_g});
    }
    return out;
}

// ---------------------------------------------------------------------------
// The ideal database and the filaments of one record
// ---------------------------------------------------------------------------

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr int kMaxHarmonic = 19;  // coefficient tables hold indices 0 ... 19

// Work of one byte of database text scanned for tags, in the units of the
// interrupt's work count.
constexpr std::uint64_t kTextByteWork = 8;
// Work of one harmonic at one sample of a filament (a cosine and a sine).
constexpr std::uint64_t kHarmonicWork = 16;

// text.find(needle, from), searched in windows with a call of the interrupt
// after each, so that a search through a long database can be stopped.
std::size_t find_polling(const std::string &text, const std::string &needle, std::size_t from, WorkMeter &meter) {
    constexpr std::size_t kWindow = std::size_t(4) << 20;
    const std::string_view all(text);
    for (std::size_t start = from; start < all.size(); start += kWindow) {
        // Every match that starts in [start, start + kWindow) lies in this window.
        const std::size_t hit = all.substr(start, kWindow + needle.size() - 1).find(needle);
        if (hit != std::string_view::npos) return start + hit;
        meter.poll();
    }
    return std::string::npos;
}

// QEL_IDEAL_DATABASE (when set and not empty), then fixed paths relative to
// the working directory; the first regular file that opens is the database,
// even when it is empty. Directories, FIFOs, devices and sockets are skipped
// like missing files. Empty text when none opens.
std::string load_ideal_database_from_file(const Interrupt &interrupt) {
    std::string text;
    const char *env = std::getenv("QEL_IDEAL_DATABASE");
    if (env != nullptr && env[0] != '\0' && file_access::read_regular_file(env, text, interrupt)) return text;
    static const char *const kPaths[] = {
        "ideal_database.txt",
        "Front-End/knot_fseries/ideal_database.txt",
        "../Front-End/knot_fseries/ideal_database.txt",
        "../../Front-End/knot_fseries/ideal_database.txt",
    };
    for (const char *path : kPaths) {
        if (file_access::read_regular_file(path, text, interrupt)) return text;
    }
    return std::string();
}

// One filament from the <Coeff .../> tags of a section: harmonics 0 ... 19,
// sampled at t_i = i 2 pi / N. The scan and the sampling count their work.
PointList build_component(const std::string &section, int resolution, WorkMeter &meter) {
    Vec3 A[kMaxHarmonic + 1] = {};
    Vec3 B[kMaxHarmonic + 1] = {};
    int K = 0;

    std::size_t pos = 0;
    for (;;) {
        const std::size_t start = section.find("<Coeff", pos);
        if (start == std::string::npos) break;
        const std::size_t end = section.find("/>", start);
        if (end == std::string::npos) break;
        const std::string tag = section.substr(start, end - start);
        meter.add(kTextByteWork * (end + 2 - pos));
        pos = end + 2;

        int index = 1;
        const std::size_t ipos = tag.find("I=\"");
        if (ipos != std::string::npos) index = std::stoi(tag.substr(ipos + 3));

        const std::size_t apos = tag.find("A=\"");
        const std::size_t bpos = tag.find("B=\"");
        if (apos == std::string::npos || bpos == std::string::npos) continue;
        Vec3 a{0.0, 0.0, 0.0};
        Vec3 b{0.0, 0.0, 0.0};
        std::sscanf(tag.c_str() + apos + 3, "%lf,%lf,%lf", &a[0], &a[1], &a[2]);
        std::sscanf(tag.c_str() + bpos + 3, "%lf,%lf,%lf", &b[0], &b[1], &b[2]);
        if (index < 0 || index > kMaxHarmonic) continue;
        A[index] = a;
        B[index] = b;
        if (index > K) K = index;
    }

    if (resolution < 0) throw std::length_error("ParticleEvaluator: resolution must not be negative");
    const std::size_t n = static_cast<std::size_t>(resolution);
    // Filled in order rather than made zero first, so that the memory of a
    // long filament is first touched in the loop that counts its work.
    PointList pts;
    pts.reserve(n);
    const double dn = static_cast<double>(resolution);
    for (std::size_t i = 0; i < n; ++i) {
        meter.add(kHarmonicWork * static_cast<std::uint64_t>(K) + 1);
        const double t = (static_cast<double>(i) * kTwoPi) / dn;
        double x = A[0][0], y = A[0][1], z = A[0][2];
        for (int j = 1; j <= K; ++j) {
            const double c = std::cos(static_cast<double>(j) * t);
            const double s = std::sin(static_cast<double>(j) * t);
            x += A[j][0] * c + B[j][0] * s;
            y += A[j][1] * c + B[j][1] * s;
            z += A[j][2] * c + B[j][2] * s;
        }
        pts.push_back(Vec3{x, y, z});
    }
    return pts;
}

}  // namespace

bool ParticleEvaluator::extract_and_build_filament(const std::string &db, const std::string &id, int resolution,
                                                   const Interrupt &interrupt) {
    WorkMeter meter(interrupt);
    static const std::string kEnd = "</AB>";
    const std::string key = "<AB Id=\"" + id + "\"";
    const std::size_t start = find_polling(db, key, 0, meter);
    if (start == std::string::npos) return false;
    const std::size_t end = find_polling(db, kEnd, start, meter);
    if (end == std::string::npos) return false;
    const std::string record = db.substr(start, end - start);

    // Built apart and set at the end: the interrupt may run Python code.
    std::vector<PointList> built;
    static const std::string kOpen = "<Component";
    static const std::string kClose = "</Component>";
    std::size_t open = find_polling(record, kOpen, 0, meter);
    if (open == std::string::npos) built.push_back(build_component(record, resolution, meter));
    while (open != std::string::npos) {
        const std::size_t close = find_polling(record, kClose, open, meter);
        if (close == std::string::npos) break;
        built.push_back(build_component(record.substr(open, close - open), resolution, meter));
        open = find_polling(record, kOpen, close + kClose.size(), meter);
    }
    filaments = std::move(built);
    return !filaments.empty();
}

ParticleEvaluator::ParticleEvaluator(const std::string &knot_ab_id, int resolution, const Interrupt &interrupt) {
    const std::string db = load_ideal_database_from_file(interrupt);
    if (db.empty()) throw std::runtime_error("[!] QELcore: ideal_database.txt niet gevonden.");
    if (!extract_and_build_filament(db, knot_ab_id, resolution, interrupt)) {
        throw std::runtime_error("[!] QELcore: Knoop ID " + knot_ab_id + " niet gevonden in database.");
    }
}

ParticleEvaluator::ParticleEvaluator(const std::vector<PointList> &input_filaments) : filaments(input_filaments) {}

// ---------------------------------------------------------------------------
// Vector helpers, lengths, energies and masses
// ---------------------------------------------------------------------------

Vec3 ParticleEvaluator::v_add(const Vec3 &a, const Vec3 &b) { return Vec3{a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
Vec3 ParticleEvaluator::v_sub(const Vec3 &a, const Vec3 &b) { return Vec3{a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Vec3 ParticleEvaluator::v_mul(const Vec3 &a, double s) { return Vec3{a[0] * s, a[1] * s, a[2] * s}; }
double ParticleEvaluator::v_dot(const Vec3 &a, const Vec3 &b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec3 ParticleEvaluator::v_cross(const Vec3 &a, const Vec3 &b) {
    return Vec3{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double ParticleEvaluator::v_norm(const Vec3 &a) { return std::sqrt(a[2] * a[2] + (a[0] * a[0] + a[1] * a[1])); }
Vec3 ParticleEvaluator::v_unit(const Vec3 &a) {
    const double r = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
    if (r < 1e-30) return Vec3{1.0, 0.0, 0.0};
    return v_mul(a, 1.0 / r);
}

namespace {

constexpr double kLengthScale = 2.81794034e-15;  // metres per dimensionless length unit
constexpr double kCoreTension = 14.5267535;      // joules per metre of filament
constexpr double kJoulePerMeV = 1.602176634e-13;

}  // namespace

double ParticleEvaluator::get_dimless_ropelength(double stretch_lambda) const {
    if (filaments.empty()) return 0.0;
    double S = 0.0;
    for (const PointList &f : filaments) S += closed_polyline_length(f);
    return S / kLengthScale / (stretch_lambda * stretch_lambda);
}

double ParticleEvaluator::get_physical_length_m() const { return get_dimless_ropelength(1.0) * kLengthScale; }

double ParticleEvaluator::compute_core_energy_J() const {
    return get_dimless_ropelength(1.0) * kLengthScale * kCoreTension;
}

double ParticleEvaluator::get_core_mass_mev_only() const { return compute_core_energy_J() / kJoulePerMeV; }

double ParticleEvaluator::compute_tail_energy_J(bool include_tail, const Interrupt &interrupt) const {
    return include_tail ? compute_tail_energy_surrogate_J(interrupt) : 0.0;
}

double ParticleEvaluator::get_mass_mev_ab_initio(bool include_tail, const Interrupt &interrupt) const {
    const double e_tail = include_tail ? compute_tail_energy_surrogate_J(interrupt) : 0.0;
    return (e_tail + (kLengthScale * get_dimless_ropelength(1.0)) * kCoreTension) / kJoulePerMeV;
}

void ParticleEvaluator::set_tail_approx_config(const TailApproxConfig &cfg) { tail_config = cfg; }

ParticleEvaluator::TailApproxConfig ParticleEvaluator::get_tail_approx_config() const { return tail_config; }

PointList ParticleEvaluator::get_relaxed_polyline_m() const {
    std::size_t total = 0;
    for (const PointList &f : filaments) total += f.size();
    PointList out;
    out.reserve(total);
    for (const PointList &f : filaments) out.insert(out.end(), f.begin(), f.end());
    return out;
}

void ParticleEvaluator::local_frame_at_index(std::size_t f, std::size_t i, Vec3 &T, Vec3 &N, Vec3 &B) const {
    if (filaments.empty() || f >= filaments.size() || filaments[f].size() < 3) {
        T = Vec3{1.0, 0.0, 0.0};
        N = Vec3{0.0, 1.0, 0.0};
        B = Vec3{0.0, 0.0, 1.0};
        return;
    }
    const PointList &P = filaments[f];
    const std::size_t n = P.size();
    T = v_unit(v_sub(P[(i + 1) % n], P[(i + n - 1) % n]));
    const Vec3 ref = std::fabs(T[2]) >= 0.9 ? Vec3{0.0, 1.0, 0.0} : Vec3{0.0, 0.0, 1.0};
    const Vec3 n1 = v_unit(v_cross(ref, T));
    B = v_unit(v_cross(T, n1));
    N = v_cross(B, T);
}

// ---------------------------------------------------------------------------
// Relativistic metrics and the printed derivation
// ---------------------------------------------------------------------------

namespace {
constexpr double kCoreCrossSection = 6.236680122475321e-30;  // pi r_c^2
constexpr double kSwirlSpeed = 1093845.63;
}  // namespace

ParticleEvaluator::RelativisticMetrics ParticleEvaluator::compute_relativistic_metrics(
    double circulation, const Interrupt &interrupt) const {
    RelativisticMetrics out;
    out.core_time_dilation = 1.0;
    if (filaments.empty() || filaments.front().empty()) return out;

    const PointList &P = filaments.front();
    const std::size_t n = P.size();
    PointList T, N, B;
    if (n >= 2) {
        FrenetHelicity::compute_frenet_frames(P, T, N, B);
    } else {
        // A single point has no tangent: like the two-point filament, it
        // carries a zero line element and induces no flow.
        T.assign(n, Vec3{0.0, 0.0, 0.0});
    }

    const double w = circulation / kCoreCrossSection;
    PointList v(n), omega(n);
    WorkMeter meter(interrupt);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = BiotSavart::velocity(P[i], P, T, circulation);
        omega[i] = Vec3{w * T[i][0], w * T[i][1], w * T[i][2]};
        meter.add(n);
    }
    out.helicity = static_cast<double>(FrenetHelicity::compute_helicity(v, omega));
    out.time_dilation_map = TimeField::compute_time_dilation_map_sqrt(v, kSwirlSpeed);
    double sum = 0.0;
    for (double d : out.time_dilation_map) sum += d;
    out.core_time_dilation = sum / static_cast<double>(n);
    return out;
}

void ParticleEvaluator::print_canonical_derivation() {
    const std::string rule(66, '=');
    std::ostream &os = std::cout;
    os << "\n";
    os << rule << "\n";
    os << "QEL CANON: DYNAMIC CLOSURE OF CORE DENSITY\n";
    os << rule << "\n";
    os << "The effective mass density of the vortex core (rho_core) is strictly\n";
    os << "derived as a dynamic closure relation. The maximum tangential tension\n";
    os << "(F_max) perfectly balances the hydrodynamic inertia of the fluid.\n";
    os << "\n";
    os << "Formula: rho_core = F_max / (pi * r_c^2 * ||v_swirl||^2)\n";
    os << "\n";
    os << "[*] Core Primitives:\n";
    os << std::defaultfloat << std::setprecision(8);
    os << "    F_max   = " << 29.053507 << " N\n";
    os << std::scientific << std::setprecision(8);
    os << "    r_c     = " << 1.40897017e-15 << " m\n";
    os << "    v_swirl = " << 1093845.63 << " m/s\n";
    os << "\n";
    os << "[*] Derived Invariant Densities:\n";
    os << std::scientific << std::setprecision(16);
    os << "    rho_core = " << 3.8934358266918687e18 << " kg/m^3\n";
    os << "    rho_E    = " << 3.49924561231878e35 << " J/m^3\n";
    os << rule << "\n";
    os << "\n";
    os.flush();
}

}  // namespace qel
