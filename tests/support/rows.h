// The rows of a TestWithParam, each with a `name` field, shown by their names
// in test listings and in the names of their cases.
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

// The name generator of INSTANTIATE_TEST_SUITE_P: each case after its row.
struct row_name {
    template <typename Info> std::string operator()(const Info& info) const {
        return info.param.name;
    }
};
