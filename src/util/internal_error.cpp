#include "util/internal_error.h"

namespace dagloom {

void fail_index(std::size_t index, std::size_t len) {
    fail("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
         std::to_string(index));
}

}  // namespace dagloom
