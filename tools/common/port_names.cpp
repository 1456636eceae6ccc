#include "port_names.h"

#include <algorithm>
#include <cctype>

namespace kinetra::tool {

namespace {

bool is_com_above_nine(const std::string &name) {
    if (name.size() < 5) {
        return false; // "COM" and at least two digits
    }
    const auto upper = [](char c) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    };
    if (upper(name[0]) != 'C' || upper(name[1]) != 'O' || upper(name[2]) != 'M' || name[3] == '0') {
        return false;
    }
    return std::all_of(name.begin() + 3, name.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

} // namespace

std::string windows_port_name(const std::string &typed) {
    return is_com_above_nine(typed) ? "\\\\.\\" + typed : typed;
}

std::string port_to_open(const std::string &typed) {
#ifdef _WIN32
    return windows_port_name(typed);
#else
    return typed;
#endif
}

} // namespace kinetra::tool
