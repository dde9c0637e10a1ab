// I2C buses and board controller over the emulated devices: messages byte for
// byte, registers persisted in eeprom.bin, failures that leave buffers alone. The
// event log format is checked with the emulated devices.
#include "board/i2c.h"
#include "board/record.h"
#include "board/sys.h"
#include "sandbox/emu.h"
#include "tests/common/board.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <vector>

namespace {

using namespace testutil;

class BoardTest : public ::testing::Test {
  protected:
    HostHooks hooks;
    TempBoard board;

    void TearDown() override { i2c_close_buses(); }
    void configure(const std::string& lines) {
        i2c_close_buses();
        board.configure(lines);
    }
    void poke_eeprom(size_t offset, uint8_t value) {
        i2c_close_buses();
        board.poke("eeprom.bin", offset, {value});
    }
    Bytes eeprom() { return board.file("eeprom.bin"); }
    void open_quietly() {
        EXPECT_EQ("", captureStdout([] { ASSERT_EQ(0, i2c_open_buses()); }));
    }
};

TEST_F(BoardTest, OpensAndClosesAllThreeBuses) {
    open_quietly();
    for (int bus = 0; bus < I2C_BUS_COUNT; ++bus) EXPECT_GT(i2c_handles[bus], 2) << bus;
    EXPECT_NE(i2c_handles[0], i2c_handles[1]);
    EXPECT_NE(i2c_handles[1], i2c_handles[2]);
    int bus0 = i2c_handles[0];
    EXPECT_EQ(0, i2c_close_buses());
    for (int bus = 0; bus < I2C_BUS_COUNT; ++bus) EXPECT_EQ(0, i2c_handles[bus]);
    EXPECT_EQ(-1, fcntl(bus0, F_GETFD));
}

TEST_F(BoardTest, MissingBusStopsOpeningAndLaterTransfersFailOnTheSelect) {
    configure("fault_missing_i2c=1\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, i2c_open_buses());
    EXPECT_EQ("ERROR: driver /dev/i2c-1 couldn't be opened\n",
              testing::internal::GetCapturedStdout());
    EXPECT_GT(i2c_handles[0], 2);
    EXPECT_EQ(0, i2c_handles[1]);
    EXPECT_EQ(0, i2c_handles[2]); // never tried

    // Bus 2 was never opened: the clock read fails at the device select and leaves
    // the buffer alone; nothing reaches descriptor 0.
    uint8_t clock[7] = {};
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, rtc_read(clock));
    EXPECT_EQ("I2C error when setting bus 2, device 0xd0: 9\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(std::vector<uint8_t>(7, 0), std::vector<uint8_t>(clock, clock + 7));

    // Bus 0 works.
    EXPECT_EQ(1, board_get_boot_slot());

    // Closing after the partial open closes bus 0 only.
    int bus0 = i2c_handles[0];
    EXPECT_EQ(0, i2c_close_buses());
    EXPECT_EQ(-1, fcntl(bus0, F_GETFD));
    for (int bus = 0; bus < I2C_BUS_COUNT; ++bus) EXPECT_EQ(0, i2c_handles[bus]);
}

TEST_F(BoardTest, MissingFirstBusLeavesEverythingClosed) {
    configure("fault_missing_i2c=0\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, i2c_open_buses());
    EXPECT_EQ("ERROR: driver /dev/i2c-0 couldn't be opened\n",
              testing::internal::GetCapturedStdout());
    uint64_t before = emu_i2c_transfer_count();
    testing::internal::CaptureStdout();
    EXPECT_LT(board_set_boot_slot(2), 0);
    EXPECT_EQ(0, board_get_usb_boot());
    EXPECT_LT(led_reg_write(0x11, 0x40), 0);
    EXPECT_EQ("I2C error when setting bus 0: 9\n"
              "I2C error when setting bus 0, device 0xa4: 9\n"
              "I2C error when setting LED on bus 0: 9\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(before, emu_i2c_transfer_count());
    EXPECT_EQ(0u, g_slept); // no write was attempted, so no pause
}

TEST_F(BoardTest, RegisterWritesPersistInEeprom) {
    open_quietly();
    testing::internal::CaptureStdout();
    EXPECT_EQ(3, board_set_boot_slot(2));
    EXPECT_EQ(3, board_set_boot_source(4));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(200000u, g_slept);
    std::vector<uint8_t> disk = eeprom();
    EXPECT_EQ(2, disk[0x0100]);
    EXPECT_EQ(4, disk[0x013A]);
    EXPECT_EQ(0xFF, disk[0x0101]);
    EXPECT_EQ(0xFF, disk[0x0139]);

    // A new start of the board sees them; the slot register is returned as stored.
    poke_eeprom(0x013B, USB_BOOT_ENABLED);
    open_quietly();
    EXPECT_EQ(2, board_get_boot_slot());
    poke_eeprom(0x0100, 7);
    open_quietly();
    EXPECT_EQ(7, board_get_boot_slot());
    EXPECT_EQ(USB_BOOT_ENABLED, board_get_usb_boot());
    uint8_t source = 0;
    EXPECT_EQ(4, board_read(EEPROM_BOOT_SOURCE, 1, &source));
}

TEST_F(BoardTest, MultiplexerIsClosedAfterEveryEepromAccess) {
    open_quietly();
    uint8_t serial[12];
    memcpy(serial, "plumtreevane", 12);
    EXPECT_EQ('S', board_read_serial(serial));
    EXPECT_EQ(0, memcmp("SN0123456789", serial, 12));
    EXPECT_EQ(3, board_set_boot_slot(1));
    // Both left the multiplexer closed: the EEPROM does not answer a bare read.
    uint8_t byte = 0x33;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, i2c_read_regs(0, EEPROM_ADDR8, 0x0100, 1, 2, &byte));
    EXPECT_EQ("I2C error - device 0xa4 writing bus 0 offset 256: 6\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(0x33, byte);
}

TEST_F(BoardTest, NakingEepromLeavesCallerBuffersAlone) {
    configure("fault_nak=0:0x52\n");
    open_quietly();
    uint8_t serial[12];
    memcpy(serial, "plumtreevane", 12);
    testing::internal::CaptureStdout();
    EXPECT_EQ('p', board_read_serial(serial));
    EXPECT_EQ(0, board_get_boot_slot());
    EXPECT_EQ(-1, board_set_boot_slot(2));
    EXPECT_EQ("I2C error - device 0xa4 writing bus 0 offset 13: 6\n"
              "I2C error - device 0xa4 writing bus 0 offset 256: 6\n"
              "I2C error when writing bus 0 offset 256: 6\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, memcmp("plumtreevane", serial, 12));
    EXPECT_EQ(100000u, g_slept); // the pause comes whether or not the write worked
    EXPECT_EQ(1, eeprom()[0x0100]);
}

TEST_F(BoardTest, ShortReadFailsAndLeavesBuffer) {
    open_quietly();
    // i2c-dev moves at most 8192 bytes per read; asking for more is a short read.
    std::vector<uint8_t> big(9000, 0x5A);
    i2c_mux_select(0, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, i2c_read_regs(0, EEPROM_ADDR8, 0, 9000, 2, big.data()));
    EXPECT_EQ("I2C error - device 0xa4 @ 0, 9000 bytes : 5\n",
              testing::internal::GetCapturedStdout());
    i2c_mux_deselect(0);
    EXPECT_EQ(std::vector<uint8_t>(9000, 0x5A), big);
    // A bus number outside the three is refused like an unopened one.
    uint8_t byte = 0x11;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, i2c_read_regs(7, RTC_ADDR8, 0, 1, 1, &byte));
    EXPECT_EQ(0, i2c_read_regs(-1, RTC_ADDR8, 0, 1, 1, &byte));
    EXPECT_EQ("I2C error when setting bus 7, device 0xd0: 9\n"
              "I2C error when setting bus -1, device 0xd0: 9\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(0x11, byte);
}

TEST_F(BoardTest, TimestampForUnknownSlotDoesNoTransfer) {
    open_quietly();
    const uint8_t stamp[7] = {1, 2, 3, 4, 5, 6, 7};
    uint64_t before = emu_i2c_transfer_count();
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, board_set_image_timestamp(3, stamp));
    EXPECT_EQ(0, board_set_image_timestamp(0, stamp));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(before, emu_i2c_transfer_count());
    EXPECT_EQ(0u, g_slept);
}

TEST_F(BoardTest, TimestampWritesSevenBytesPerSlot) {
    open_quietly();
    const uint8_t one[7] = {0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17};
    const uint8_t two[7] = {0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27};
    EXPECT_EQ(1, board_set_image_timestamp(1, one));
    EXPECT_EQ(1, board_set_image_timestamp(2, two));
    EXPECT_EQ(1400000u, g_slept);
    std::vector<uint8_t> disk = eeprom();
    EXPECT_EQ(std::vector<uint8_t>(one, one + 7),
              std::vector<uint8_t>(disk.begin() + 0x108, disk.begin() + 0x10F));
    EXPECT_EQ(0xFF, disk[0x10F]);
    EXPECT_EQ(std::vector<uint8_t>(two, two + 7),
              std::vector<uint8_t>(disk.begin() + 0x110, disk.begin() + 0x117));
    EXPECT_EQ(0xFF, disk[0x117]);
}

TEST_F(BoardTest, TimestampStopsAtFirstFailedByte) {
    open_quietly();
    const uint8_t stamp[7] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6};
    emu_fail_nth_write(0, EEPROM_ADDR, 5); // byte index 4; later writes would succeed
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, board_set_image_timestamp(2, stamp));
    EXPECT_EQ("I2C error when writing bus 0 offset 276: 6\n"
              "Error setting image timestamp at offset 0x110 byte 4\n",
              testing::internal::GetCapturedStdout());
    std::vector<uint8_t> disk = eeprom();
    EXPECT_EQ(std::vector<uint8_t>(stamp, stamp + 4),
              std::vector<uint8_t>(disk.begin() + 0x110, disk.begin() + 0x114));
    EXPECT_EQ(0xFF, disk[0x114]);
    EXPECT_EQ(0xFF, disk[0x115]);
    EXPECT_EQ(0xFF, disk[0x116]);
    EXPECT_EQ(500000u, g_slept);
}

TEST_F(BoardTest, ClockReadAndImageStampFromFixedTime) {
    configure("rtc_fixed=2031-12-31 08:07:06\n");
    open_quietly();
    uint8_t clock[7] = {};
    EXPECT_NE(0, rtc_read(clock));
    const uint8_t expected[7] = {0x06, 0x07, 0x08, 4, 0x31, 0x12, 0x31}; // a Wednesday
    EXPECT_EQ(std::vector<uint8_t>(expected, expected + 7), std::vector<uint8_t>(clock, clock + 7));

    EXPECT_EQ(1, board_stamp_image(2));
    EXPECT_EQ(1000000u + 700000u, g_slept);
    std::vector<uint8_t> disk = eeprom();
    EXPECT_EQ(std::vector<uint8_t>(expected, expected + 7),
              std::vector<uint8_t>(disk.begin() + 0x110, disk.begin() + 0x117));
    g_slept = 0;
    EXPECT_EQ(0, board_stamp_image(5));
    EXPECT_EQ(1000000u, g_slept);
}

TEST_F(BoardTest, LedRegistersAreWrittenAndLogged) {
    open_quietly();
    testing::internal::CaptureStdout();
    EXPECT_EQ(2, led_reg_write(0x11, 0x40));
    EXPECT_EQ(2, led_reg_write(0x11, 0x00));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(200000u, g_slept);
    auto writes = emu_led_writes();
    ASSERT_EQ(2u, writes.size());
    EXPECT_EQ(std::make_pair(uint8_t(0x11), uint8_t(0x40)), writes[0]);
    EXPECT_EQ(std::make_pair(uint8_t(0x11), uint8_t(0x00)), writes[1]);
    led_reg_write(0x05, 0x9C);
    uint8_t value = 0;
    EXPECT_EQ(0x9C, led_reg_read(0x05, &value));
    EXPECT_EQ(0x9C, value);
}

TEST_F(BoardTest, LedWriteFailureMessages) {
    configure("fault_nak=0:0x58\n");
    open_quietly();
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, led_reg_write(0x11, 0x40));
    uint8_t value = 0x77;
    EXPECT_EQ(0x77, led_reg_read(0x11, &value));
    EXPECT_EQ("I2C error when writing LED on bus 0 offset 17: 6\n"
              "I2C error - device 0xb0 writing bus 0 offset 17: 6\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(100000u, g_slept);
    EXPECT_TRUE(emu_led_writes().empty());
}

} // namespace

// Two-copy records: a fresh board holds none, and a write cut at any transfer leaves the old
// value current; only its last byte makes the new one current.
TEST_F(BoardTest, RecordSurvivesACutAtEveryWrite) {
    const board_record record{BOARD_RECORD_FLOOR, BOARD_RECORD_FLOOR_TAG, 3};
    const uint8_t v1[3] = {1, 2, 3}, v2[3] = {4, 5, 6}, v3[3] = {7, 8, 9};
    open_quietly();
    uint8_t got[3] = {0xAA, 0xAA, 0xAA};
    EXPECT_EQ(0, board_record_read(record, got));
    EXPECT_EQ(Bytes(3, 0), Bytes(got, got + 3));
    ASSERT_EQ(1, board_record_write(record, v1)); // copy A, sequence 1
    ASSERT_EQ(1, board_record_write(record, v2)); // copy B, sequence 2
    // Two reads (their offset writes), then tag cleared, sequence, 3 bytes, 2 check bytes, tag.
    int cut = 1, written = 0;
    for (; cut <= 20 && !written; ++cut) {
        emu_fail_nth_write(0, EEPROM_ADDR, cut);
        captureStdout([&] { written = board_record_write(record, v3); });
        emu_fail_nth_write(0, EEPROM_ADDR, 0);
        ASSERT_EQ(1, board_record_read(record, got)) << cut;
        EXPECT_EQ(Bytes(written ? v3 : v2, (written ? v3 : v2) + 3), Bytes(got, got + 3)) << cut;
    }
    EXPECT_EQ(11, cut - 1); // the eleventh transfer was never reached
    Bytes disk = eeprom();
    uint16_t check = board_record_check(3, v3, 3);
    EXPECT_EQ(Bytes({0x46, 3, 7, 8, 9, uint8_t(check >> 8), uint8_t(check), 0x46, 2, 4, 5, 6}),
              Bytes(disk.begin() + 0x240, disk.begin() + 0x24C));
}
