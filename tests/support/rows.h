// Table rows (the rows of a TestWithParam, each with a `name` field) by their
// names: in test listings and in the names of their cases. The harness
// brings it in; tests that run no romup include it themselves.
#pragma once

#include <ostream>
#include <string>

// A test file brings this into the namespace of its row types with
// `using test_rows::operator<<;`, where gtest's printer finds it.
namespace test_rows {
template <typename Row>
auto operator<<(std::ostream& out, const Row& row) -> decltype(out << row.name) {
    return out << row.name;
}
} // namespace test_rows

// The name generator of INSTANTIATE_TEST_SUITE_P: each case is named after
// its row (info is gtest's TestParamInfo of the row).
struct row_name {
    template <typename Info> std::string operator()(const Info& info) const {
        return info.param.name;
    }
};
