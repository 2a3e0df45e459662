// Stand-in for the embedded ideal texts while the data is not built in:
// every name is missing.
#include <stdexcept>
#include <string>

#include "knot_dynamics.h"

namespace qel {

std::string load_embedded_ideal_text(const std::string &name) {
    throw std::runtime_error("Embedded ideal text not found: " + name);
}

}  // namespace qel
