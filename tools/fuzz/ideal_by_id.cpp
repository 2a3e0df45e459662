// Lookup of one ideal-database record by id: the first line of the input is
// the id, the rest the database text.
//
// needs: parse_ideal_ab_by_id_from_string
// sources: knot_dynamics.cpp knot_dynamics/*.cpp file_access/*.cpp
// seeds: ideal-records-with-id
#include <stdexcept>
#include <string>

#include "fuzz_util.h"
#include "knot_dynamics.h"

using qel::FourierKnot;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    const size_t nl = input.find('\n');
    const std::string id = nl == std::string::npos ? input : input.substr(0, nl);
    const std::string content = nl == std::string::npos ? std::string() : input.substr(nl + 1);
    try {
        const FourierKnot::IdealABBlock r = FourierKnot::parse_ideal_ab_by_id_from_string(content, id);
        QEL_FUZZ_CHECK(!r.components.empty());
        // The record found holds the id in its own header.
        QEL_FUZZ_CHECK(content.find("Id=\"" + id + "\"") != std::string::npos);
    } catch (const std::invalid_argument &) {
    } catch (const std::out_of_range &) {
    } catch (const std::runtime_error &e) {
        // what() is a C string: an id with a NUL byte shows up to that byte.
        const std::string expected = "parse_ideal_ab_by_id_from_string: AB Id not found: " + id;
        QEL_FUZZ_CHECK(std::string(e.what()) == std::string(expected.c_str()));
    }
    return 0;
}
