// Port names as people type them: which ones the tools rewrite for Windows.
#include <gtest/gtest.h>

#include "port_names.h"

namespace {

struct port_name_case {
    const char *typed;
    const char *opened;
};

const port_name_case port_name_cases[] = {
    {"COM10", "\\\\.\\COM10"}, // above COM9: only the device name opens
    {"com12", "\\\\.\\com12"}, // any case
    {"COM256", "\\\\.\\COM256"},
    {"COM3", "COM3"}, // COM1..COM9 open as they are
    {"COM9", "COM9"},
    {"\\\\.\\COM10", "\\\\.\\COM10"}, // already a device name
    {"\\\\.\\CNCB0", "\\\\.\\CNCB0"}, // com0com's names
    {"CNCA0", "CNCA0"},
    {"COM", "COM"},     // no number
    {"COM01", "COM01"}, // not a COM number Windows gives
    {"COM1A", "COM1A"},
    {"COMX10", "COMX10"},
    {"/dev/ttyUSB0", "/dev/ttyUSB0"},
    {"", ""},
};

TEST(PortNames, OnlyComNumbersAboveNineGetTheDevicePrefix) {
    for (const port_name_case &c : port_name_cases) {
        EXPECT_EQ(kinetra::tool::windows_port_name(c.typed), c.opened) << c.typed;
    }
}

TEST(PortNames, ElsewhereTheNameIsOpenedAsTyped) {
#ifdef _WIN32
    EXPECT_EQ(kinetra::tool::port_to_open("COM10"), "\\\\.\\COM10");
#else
    for (const port_name_case &c : port_name_cases) {
        EXPECT_EQ(kinetra::tool::port_to_open(c.typed), c.typed);
    }
#endif
}

} // namespace
