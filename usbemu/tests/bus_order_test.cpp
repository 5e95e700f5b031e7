// With several modules attached, index 0 is the module first on the bus by
// bus number, then port path, whatever order they were plugged in and
// whatever device numbers they got.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include <libusb.h>

#include "backend_program.h"
#include "child_run.h"
#include "emulator.h"
#include "ftdi_backend.h"
#include "module_facts.h"

namespace {

const std::string near_report = "Temperature: 20.0C, 68.0F\nHumidity: 50.3%\nDewpoint: 9.4C, 48.8F\n";
constexpr std::uint16_t near_raw_temperature = 6000;
constexpr double time_limit_s = 20.0;

struct Layout {
    const char *name;
    usbemu::Placement nearer;  // first on the bus
    usbemu::Placement farther;
};

void PrintTo(const Layout &l, std::ostream *os)
{
    *os << l.name;
}

// Plugged in one order, then replugged in the other with new device numbers.
usbemu::Config plugged(const Layout &layout, bool nearer_first, unsigned renumber)
{
    usbemu::Module nearer;
    nearer.sensor = sensor_model::SensorConfig{};
    nearer.placement = layout.nearer;
    nearer.placement.address += renumber;
    nearer.sensor.raw_temperature = near_raw_temperature;
    usbemu::Module farther;
    farther.sensor = sensor_model::SensorConfig{};
    farther.placement = layout.farther;
    farther.placement.address += renumber;
    usbemu::Config config;
    static_cast<usbemu::Module &>(config) = nearer_first ? nearer : farther;
    config.more = {nearer_first ? farther : nearer};
    return config;
}

// Bus number, then ports, of the first module in the USB library's own listing.
std::vector<unsigned> first_listed()
{
    std::vector<unsigned> place;
    libusb_context *context = nullptr;
    if (libusb_init(&context) != LIBUSB_SUCCESS)
        return place;
    libusb_device **list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < count && place.empty(); ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != LIBUSB_SUCCESS || d.idVendor != wex_module::vendor_id ||
            d.idProduct != wex_module::product_id)
            continue;
        std::uint8_t ports[7];
        const int depth = libusb_get_port_numbers(list[i], ports, 7);
        place.push_back(libusb_get_bus_number(list[i]));
        place.insert(place.end(), ports, ports + (depth > 0 ? depth : 0));
    }
    libusb_free_device_list(list, 1);
    libusb_exit(context);
    return place;
}

std::vector<unsigned> place_of(const usbemu::Placement &p)
{
    std::vector<unsigned> place{p.bus};
    place.insert(place.end(), p.ports.begin(), p.ports.end());
    return place;
}

class FirstOnTheBus : public ::testing::TestWithParam<Layout> {};

TEST_P(FirstOnTheBus, IsReadInEitherPluggingOrder)
{
    const Layout &layout = GetParam();
    int listed_elsewhere = 0;
    for (const bool nearer_first : {true, false}) {
        const usbemu::Config config = plugged(layout, nearer_first, nearer_first ? 0 : 10);
        const usbemu::Emulator emulator(config);
        const std::size_t nearer = nearer_first ? 0 : 1;
        listed_elsewhere += first_listed() != place_of(layout.nearer) ? 1 : 0;

        const wex_test::ChildRun run = run_program(time_limit_s);
        ASSERT_FALSE(run.timed_out);
        EXPECT_EQ(run.out, near_report) << (nearer_first ? "nearer plugged first" : "nearer plugged last");
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(emulator.counters(nearer).claims, 1u);
        EXPECT_EQ(emulator.counters(1 - nearer).claims, 0u);
        EXPECT_TRUE(emulator.log(1 - nearer).empty()) << "the farther module was talked to";
    }
    EXPECT_GT(listed_elsewhere, 0) << "the USB library listed the nearer module first each time: nothing was reordered";
}

INSTANTIATE_TEST_SUITE_P(
    Modules, FirstOnTheBus,
    ::testing::Values(Layout{"BehindAHubOnAnEarlierPort", {1, 7, {1, 4}}, {1, 3, {2}}},
                      Layout{"OnAnEarlierBus", {1, 9, {3, 2}}, {2, 2, {1}}},
                      Layout{"OnTheHubBeforeTheOther", {1, 12, {2, 1, 3}}, {1, 5, {2, 3}}}),
    [](const ::testing::TestParamInfo<Layout> &p) { return std::string(p.param.name); });

TEST(FirstOnTheBus, IndexOneIsTheNextOnTheBusAndTheNodeNamesFollowThePlaces)
{
    usbemu::Config config;
    config.placement = {1, 4, {3}};
    usbemu::Module second;
    second.placement = {1, 8, {2, 2}};
    config.more = {second};
    const usbemu::Emulator emulator(config);
    EXPECT_EQ(emulator.node_of(0), "/dev/bus/usb/001/004");
    EXPECT_EQ(emulator.node_of(1), "/dev/bus/usb/001/008");

    const d2xx_api *api = wex_ftdi_backend();
    ASSERT_EQ(api->set_vid_pid(wex_module::vendor_id, wex_module::product_id), FT_OK);
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(api->open(1, &handle), FT_OK);
    EXPECT_EQ(api->set_bit_mode(handle, wex_module::all_outputs, wex_module::bit_bang_mode), FT_OK);
    EXPECT_EQ(api->close(handle), FT_OK);
    EXPECT_EQ(api->open(2, &handle), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(emulator.counters(0).claims, 1u) << "1-3 comes after 1-2.2";
    EXPECT_EQ(emulator.counters(1).claims, 0u);
}

TEST(FirstOnTheBus, TwoModulesInOnePlaceAreRefused)
{
    usbemu::Config config;
    usbemu::Module second;
    second.placement = {1, 3, {1, 2}};  // behind the first module, as if it were a hub
    config.more = {second};
    EXPECT_THROW(usbemu::Emulator{config}, std::invalid_argument);
    config.more[0].placement = {1, 2, {4}};  // the first module's device number
    EXPECT_THROW(usbemu::Emulator{config}, std::invalid_argument);
    config.more[0].placement = {1, 3, {}};
    EXPECT_THROW(usbemu::Emulator{config}, std::invalid_argument);
}

}  // namespace
