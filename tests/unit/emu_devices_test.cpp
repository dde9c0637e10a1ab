// The emulated devices behind the device seam: I2C as strict as the hardware,
// NOR flash rules, injected faults, event log and board creation.
#include "board/devio.h"
#include "sandbox/emu.h"
#include "tests/common/board.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace testutil;

void* addr_arg(int addr7) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(addr7));
}

class EmuTest : public ::testing::Test {
  protected:
    TempBoard board;
    std::string dir_ = board.dir;
    std::vector<int> fds_;

    void TearDown() override {
        for (int fd : fds_) dev_close(fd);
    }
    void configure(const std::string& lines) {
        for (int fd : fds_) dev_close(fd);
        fds_.clear();
        board.configure(lines);
    }
    int open_dev(const char* path, int flags = O_RDWR) {
        int fd = dev_open(path, flags);
        if (fd >= 0) fds_.push_back(fd);
        return fd;
    }
    int forget(int fd) {
        fds_.erase(std::remove(fds_.begin(), fds_.end(), fd), fds_.end());
        return dev_close(fd);
    }
};

// ------------------------------------------------------------------ I2C

TEST_F(EmuTest, EepromAnswersOnlyWhileMultiplexerChannelZeroIsOpen) {
    int fd = open_dev("/dev/i2c-0");
    ASSERT_GE(fd, 3);
    const uint8_t address[2] = {0x01, 0x00};
    uint8_t byte = 0;

    ASSERT_EQ(0, dev_ioctl(fd, I2C_SLAVE, addr_arg(0x52)));
    errno = 0;
    EXPECT_EQ(-1, dev_write(fd, address, 2));
    EXPECT_EQ(ENXIO, errno);
    errno = 0;
    EXPECT_EQ(-1, dev_read(fd, &byte, 1));
    EXPECT_EQ(ENXIO, errno);

    // Channel 1 alone does not reach it either.
    const uint8_t channel1 = 0x02, channel0 = 0x01, closed = 0x00;
    ASSERT_EQ(0, dev_ioctl(fd, I2C_SLAVE, addr_arg(0x71)));
    ASSERT_EQ(1, dev_write(fd, &channel1, 1));
    ASSERT_EQ(0, dev_ioctl(fd, I2C_SLAVE, addr_arg(0x52)));
    EXPECT_EQ(-1, dev_write(fd, address, 2));

    ASSERT_EQ(0, dev_ioctl(fd, I2C_SLAVE, addr_arg(0x71)));
    ASSERT_EQ(1, dev_write(fd, &channel0, 1));
    ASSERT_EQ(1, dev_read(fd, &byte, 1));
    EXPECT_EQ(0x01, byte);
    ASSERT_EQ(0, dev_ioctl(fd, I2C_SLAVE, addr_arg(0x52)));
    ASSERT_EQ(2, dev_write(fd, address, 2));
    ASSERT_EQ(1, dev_read(fd, &byte, 1));
    EXPECT_EQ(1, byte); // boot slot 1 of a fresh board

    ASSERT_EQ(0, dev_ioctl(fd, I2C_SLAVE, addr_arg(0x71)));
    ASSERT_EQ(1, dev_write(fd, &closed, 1));
    ASSERT_EQ(0, dev_ioctl(fd, I2C_SLAVE, addr_arg(0x52)));
    errno = 0;
    EXPECT_EQ(-1, dev_read(fd, &byte, 1));
    EXPECT_EQ(ENXIO, errno);
}

TEST_F(EmuTest, EepromAutoIncrementWrapsAndWritesThrough) {
    int fd = open_dev("/dev/i2c-0");
    const uint8_t open0 = 0x01;
    ASSERT_EQ(0, dev_ioctl(fd, I2C_SLAVE, addr_arg(0x71)));
    ASSERT_EQ(1, dev_write(fd, &open0, 1));
    ASSERT_EQ(0, dev_ioctl(fd, I2C_SLAVE, addr_arg(0x52)));
    const uint8_t data[5] = {0xFF, 0xFE, 0xA1, 0xA2, 0xA3};
    ASSERT_EQ(5, dev_write(fd, data, 5));

    std::vector<uint8_t> disk = readBytes(dir_ + "/eeprom.bin");
    ASSERT_EQ(65536u, disk.size());
    EXPECT_EQ(0xA1, disk[0xFFFE]);
    EXPECT_EQ(0xA2, disk[0xFFFF]);
    EXPECT_EQ(0xA3, disk[0x0000]);
    EXPECT_EQ(0xFF, disk[0x0001]);

    // Reading continues after the last byte written; a fresh address reads back.
    uint8_t got[3] = {0, 0, 0};
    ASSERT_EQ(1, dev_read(fd, got, 1));
    EXPECT_EQ(0xFF, got[0]);
    const uint8_t at[2] = {0xFF, 0xFE};
    ASSERT_EQ(2, dev_write(fd, at, 2));
    ASSERT_EQ(3, dev_read(fd, got, 3));
    EXPECT_EQ(0xA1, got[0]);
    EXPECT_EQ(0xA2, got[1]);
    EXPECT_EQ(0xA3, got[2]);
}

TEST_F(EmuTest, AnyAddressSelectsButOnlyPresentDevicesAnswer) {
    int bus0 = open_dev("/dev/i2c-0");
    int bus1 = open_dev("/dev/i2c-1");
    int bus2 = open_dev("/dev/i2c-2");
    ASSERT_GE(bus0, 3);
    ASSERT_GE(bus1, 3);
    ASSERT_GE(bus2, 3);
    uint8_t byte = 0;
    EXPECT_EQ(0, dev_ioctl(bus0, I2C_SLAVE, addr_arg(0x10)));
    EXPECT_EQ(-1, dev_read(bus0, &byte, 1));
    EXPECT_EQ(ENXIO, errno);
    errno = 0;
    EXPECT_EQ(-1, dev_ioctl(bus0, I2C_SLAVE, addr_arg(0x80)));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(-1, dev_ioctl(bus0, MEMGETINFO, &byte));
    EXPECT_EQ(ENOTTY, errno);
    // Bus 1 is empty; the clock is on bus 2 only.
    for (int addr : {0x52, 0x58, 0x68, 0x71}) {
        ASSERT_EQ(0, dev_ioctl(bus1, I2C_SLAVE, addr_arg(addr)));
        EXPECT_EQ(-1, dev_read(bus1, &byte, 1)) << addr;
    }
    ASSERT_EQ(0, dev_ioctl(bus0, I2C_SLAVE, addr_arg(0x68)));
    EXPECT_EQ(-1, dev_read(bus0, &byte, 1));
    ASSERT_EQ(0, dev_ioctl(bus2, I2C_SLAVE, addr_arg(0x68)));
    EXPECT_EQ(1, dev_read(bus2, &byte, 1));
    // Positioned transfers make no sense on an I2C bus.
    EXPECT_EQ(-1, dev_pread(bus2, &byte, 1, 0));
    EXPECT_EQ(ESPIPE, errno);
}

// A missing bus and a NAK from a device are checked through the board layer.
TEST_F(EmuTest, OneShotWriteFault) {
    int fd = open_dev("/dev/i2c-0");
    ASSERT_GE(fd, 3);
    // Only the second write to the multiplexer fails.
    const uint8_t control = 0;
    emu_fail_nth_write(0, 0x71, 2);
    ASSERT_EQ(0, dev_ioctl(fd, I2C_SLAVE, addr_arg(0x71)));
    EXPECT_EQ(1, dev_write(fd, &control, 1));
    EXPECT_EQ(-1, dev_write(fd, &control, 1));
    EXPECT_EQ(1, dev_write(fd, &control, 1));
}

TEST_F(EmuTest, LedWritesAreRecordedAndLogged) {
    int fd = open_dev("/dev/i2c-0");
    ASSERT_EQ(0, dev_ioctl(fd, I2C_SLAVE, addr_arg(0x58)));
    const uint8_t data[3] = {0x11, 0x40, 0x07};
    ASSERT_EQ(3, dev_write(fd, data, 3));
    auto writes = emu_led_writes();
    ASSERT_EQ(2u, writes.size());
    EXPECT_EQ(std::make_pair(uint8_t(0x11), uint8_t(0x40)), writes[0]);
    EXPECT_EQ(std::make_pair(uint8_t(0x12), uint8_t(0x07)), writes[1]);
    std::string log = readText(dir_ + "/events.log");
    EXPECT_TRUE(std::regex_match(log, std::regex("[0-9]+\\.[0-9]{6} led reg=0x11 val=0x40\n"
                                                 "[0-9]+\\.[0-9]{6} led reg=0x12 val=0x07\n")))
        << log;
    const uint8_t at = 0x11;
    uint8_t got[2] = {0, 0};
    ASSERT_EQ(1, dev_write(fd, &at, 1));
    ASSERT_EQ(2, dev_read(fd, got, 2));
    EXPECT_EQ(0x40, got[0]);
    EXPECT_EQ(0x07, got[1]);
}

TEST_F(EmuTest, ClockRegistersFromFixedTimeAndOffset) {
    configure("rtc_fixed=2024-02-29 23:59:58\n");
    int fd = open_dev("/dev/i2c-2");
    const uint8_t reg0 = 0;
    uint8_t regs[7] = {};
    ASSERT_EQ(0, dev_ioctl(fd, I2C_SLAVE, addr_arg(0x68)));
    ASSERT_EQ(1, dev_write(fd, &reg0, 1));
    ASSERT_EQ(7, dev_read(fd, regs, 7));
    const uint8_t leap_day[7] = {0x58, 0x59, 0x23, 5, 0x29, 0x02, 0x24}; // a Thursday
    EXPECT_EQ(0, memcmp(leap_day, regs, 7));

    // The environment's offset beats board.conf's.
    setenv("SIM_RTC_OFFSET", "2", 1);
    configure("rtc_offset=-86400\n");
    fd = open_dev("/dev/i2c-2"); // board.conf and the environment are read at first use
    unsetenv("SIM_RTC_OFFSET");
    ASSERT_EQ(0, dev_ioctl(fd, I2C_SLAVE, addr_arg(0x68)));
    ASSERT_EQ(1, dev_write(fd, &reg0, 1));
    ASSERT_EQ(7, dev_read(fd, regs, 7));
    const uint8_t next_day[7] = {0x00, 0x00, 0x00, 6, 0x01, 0x03, 0x24};
    EXPECT_EQ(0, memcmp(next_day, regs, 7));

    // The pointer can start anywhere.
    const uint8_t reg4 = 4;
    ASSERT_EQ(1, dev_write(fd, &reg4, 1));
    ASSERT_EQ(1, dev_read(fd, regs, 1));
    EXPECT_EQ(0x01, regs[0]);
}

// ------------------------------------------------------------------ flash

TEST_F(EmuTest, FlashInfoReportsNorGeometry) {
    configure("erase_size=131072\n");
    int fd = open_dev("/dev/mtd-rfs");
    ASSERT_GE(fd, 3);
    mtd_info_user info{};
    ASSERT_EQ(0, dev_ioctl(fd, MEMGETINFO, &info));
    EXPECT_EQ(MTD_NORFLASH, info.type);
    EXPECT_EQ(unsigned(MTD_CAP_NORFLASH), info.flags);
    EXPECT_EQ(10u * 1024 * 1024, info.size);
    EXPECT_EQ(131072u, info.erasesize);
    EXPECT_EQ(1u, info.writesize);
    EXPECT_EQ(-1, dev_ioctl(fd, I2C_SLAVE, addr_arg(0x52)));
    EXPECT_EQ(ENOTTY, errno);
    // 64 KiB does not end on a 128 KiB block: read-only, as the kernel forces it.
    EXPECT_EQ(-1, dev_open("/dev/mtd-ubootenv", O_RDWR));
    EXPECT_EQ(EACCES, errno);
    ASSERT_EQ(0, dev_ioctl(open_dev("/dev/mtd-ubootenv", O_RDONLY), MEMGETINFO, &info));
    EXPECT_EQ(unsigned(MTD_CAP_NORFLASH & ~MTD_WRITEABLE), info.flags);
    // A missing partition file is checked through the board layer; an unknown name is refused.
    EXPECT_EQ(-1, dev_open("/dev/mtd-nosuch", O_RDWR));
}

TEST_F(EmuTest, NorWritesOnlyClearBitsUntilErased) {
    int fd = open_dev("/dev/mtd-kernel");
    const uint8_t first = 0x0F, second = 0xF0, third = 0x5A;
    uint8_t byte = 0;
    ASSERT_EQ(1, dev_pwrite(fd, &first, 1, 0x10005));
    ASSERT_EQ(1, dev_pread(fd, &byte, 1, 0x10005));
    EXPECT_EQ(0x0F, byte);
    ASSERT_EQ(1, dev_pwrite(fd, &second, 1, 0x10005)); // written without an erase
    ASSERT_EQ(1, dev_pread(fd, &byte, 1, 0x10005));
    EXPECT_EQ(0x00, byte);

    erase_info_user erase{0x10000, 0x10000};
    ASSERT_EQ(0, dev_ioctl(fd, MEMERASE, &erase));
    std::vector<uint8_t> block(0x10000);
    ASSERT_EQ(0x10000, dev_pread(fd, block.data(), block.size(), 0x10000));
    EXPECT_EQ(std::vector<uint8_t>(0x10000, 0xFF), block);
    ASSERT_EQ(1, dev_pwrite(fd, &third, 1, 0x10005));
    ASSERT_EQ(1, dev_pread(fd, &byte, 1, 0x10005));
    EXPECT_EQ(0x5A, byte);
    // The backing file holds exactly what the device shows.
    EXPECT_EQ(0x5A, readBytes(dir_ + "/flash/kernel.bin")[0x10005]);
}

TEST_F(EmuTest, EraseNeedsAlignedRangeInsidePartition) {
    int fd = open_dev("/dev/mtd-ubootenv"); // 64 KiB, one block
    const uint8_t zero = 0;
    ASSERT_EQ(1, dev_pwrite(fd, &zero, 1, 0));
    for (erase_info_user bad :
         {erase_info_user{0x1000, 0x10000}, erase_info_user{0, 0x8000}, erase_info_user{0, 0x20000},
          erase_info_user{0x10000, 0x10000}, erase_info_user{0xFFFF0000u, 0x20000}}) {
        errno = 0;
        EXPECT_EQ(-1, dev_ioctl(fd, MEMERASE, &bad)) << bad.start << "+" << bad.length;
        EXPECT_EQ(EINVAL, errno);
    }
    uint8_t byte = 0xEE;
    ASSERT_EQ(1, dev_pread(fd, &byte, 1, 0));
    EXPECT_EQ(0, byte); // nothing was erased
    EXPECT_EQ(-1, dev_ioctl(fd, MEMERASE, nullptr));
    EXPECT_EQ(EFAULT, errno);
}

TEST_F(EmuTest, TransfersAtAndPastTheEnd) {
    int fd = open_dev("/dev/mtd-ubootenv");
    uint8_t buf[16] = {};
    const uint8_t data[16] = {};
    EXPECT_EQ(0, dev_pread(fd, buf, 16, 0x10000));
    EXPECT_EQ(0, dev_pread(fd, buf, 16, 0x7FFFFFFF));
    EXPECT_EQ(6, dev_pread(fd, buf, 16, 0x10000 - 6));
    errno = 0;
    EXPECT_EQ(-1, dev_pwrite(fd, data, 16, 0x10000));
    EXPECT_EQ(ENOSPC, errno);
    EXPECT_EQ(6, dev_pwrite(fd, data, 16, 0x10000 - 6));
    EXPECT_EQ(-1, dev_pread(fd, buf, 1, -1));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(0x10000u, readBytes(dir_ + "/flash/ubootenv.bin").size()); // never grows
}

TEST_F(EmuTest, SequentialReadsAndWritesKeepTheirOwnPosition) {
    int fd = open_dev("/dev/mtd-devicetree");
    const uint8_t data[4] = {1, 2, 3, 4};
    ASSERT_EQ(2, dev_write(fd, data, 2));
    ASSERT_EQ(2, dev_write(fd, data + 2, 2));
    int other = open_dev("/dev/mtd-devicetree");
    uint8_t got[4] = {};
    ASSERT_EQ(4, dev_read(other, got, 4));
    EXPECT_EQ(0, memcmp(data, got, 4));
}

TEST_F(EmuTest, ReadOnlyHandleCannotWriteOrErase) {
    int fd = open_dev("/dev/mtd-uboot", O_RDONLY);
    ASSERT_GE(fd, 3);
    const uint8_t zero = 0;
    EXPECT_EQ(-1, dev_pwrite(fd, &zero, 1, 0));
    EXPECT_EQ(EBADF, errno);
    erase_info_user erase{0, 0x10000};
    EXPECT_EQ(-1, dev_ioctl(fd, MEMERASE, &erase));
    EXPECT_EQ(EPERM, errno);
    uint8_t byte = 0;
    EXPECT_EQ(1, dev_pread(fd, &byte, 1, 0));
}

TEST_F(EmuTest, InjectedFlashFaultsHitOnlyTheirBlock) {
    configure("fault_flash_read=rfs:2\nfault_flash_erase=rfs:3\nfault_flash_write=rfs:4\n"
              "fault_flash_read=kernel:0\nfault_flash_read=nosuch:1\nfault_flash_read=rfs\n");
    int fd = open_dev("/dev/mtd-rfs");
    std::vector<uint8_t> buf(0x20000);
    EXPECT_EQ(0x10000, dev_pread(fd, buf.data(), 0x10000, 0x10000));
    EXPECT_EQ(-1, dev_pread(fd, buf.data(), 0x20000, 0x10000)); // spans blocks 1 and 2
    EXPECT_EQ(EIO, errno);
    EXPECT_EQ(-1, dev_pread(fd, buf.data(), 1, 0x2FFFF));
    EXPECT_EQ(EIO, errno);

    erase_info_user erase{0x20000, 0x20000}; // blocks 2 and 3: block 2 is erased first
    const uint8_t zero = 0;
    ASSERT_EQ(1, dev_pwrite(fd, &zero, 1, 0x20000));
    EXPECT_EQ(-1, dev_ioctl(fd, MEMERASE, &erase));
    EXPECT_EQ(EIO, errno);
    EXPECT_EQ(0xFF, readBytes(dir_ + "/flash/rfs.bin")[0x20000]);

    EXPECT_EQ(-1, dev_pwrite(fd, &zero, 1, 0x40000));
    EXPECT_EQ(EIO, errno);
    EXPECT_EQ(1, dev_pwrite(fd, &zero, 1, 0x3FFFF));

    int kernel = open_dev("/dev/mtd-kernel");
    EXPECT_EQ(-1, dev_pread(kernel, buf.data(), 1, 0));
    int rescue = open_dev("/dev/mtd-rescue");
    EXPECT_EQ(1, dev_pread(rescue, buf.data(), 1, 0x20000));
}

// ------------------------------------------------------------------ descriptors

TEST_F(EmuTest, EmulatedDescriptorsNeverCollideWithRealOnes) {
    int i2c = open_dev("/dev/i2c-0");
    int mtd = open_dev("/dev/mtd-rfs");
    std::string path = dir_ + "/user/plain.txt";
    int real = open_dev(path.c_str(), O_RDWR | O_CREAT);
    ASSERT_GE(i2c, 3);
    ASSERT_GE(mtd, 3);
    ASSERT_GE(real, 3);
    EXPECT_NE(i2c, real);
    EXPECT_NE(mtd, real);
    // Real files pass straight through.
    ASSERT_EQ(5, dev_write(real, "hello", 5));
    char got[6] = {};
    ASSERT_EQ(5, dev_pread(real, got, 5, 0));
    EXPECT_STREQ("hello", got);
    ASSERT_EQ(1, dev_pwrite(real, "J", 1, 0));
    EXPECT_EQ("Jello", readText(path));
    EXPECT_EQ(0, forget(real));
    // Closing an emulated descriptor frees it; it is then unknown.
    EXPECT_EQ(0, forget(i2c));
    EXPECT_EQ(-1, dev_close(i2c));
    EXPECT_EQ(EBADF, errno);
    // A reset closes what is left.
    emu_reset();
    fds_.clear();
    EXPECT_EQ(-1, fcntl(mtd, F_GETFD));
}

TEST_F(EmuTest, NoteEventAppendsEscapedShellLine) {
    dev_note_event("echo a\necho b");
    dev_note_event("reboot");
    std::string log = readText(dir_ + "/events.log");
    EXPECT_TRUE(std::regex_match(log, std::regex("[0-9]+\\.[0-9]{6} shell echo a\\\\necho b\n"
                                                 "[0-9]+\\.[0-9]{6} shell reboot\n")))
        << log;
}

// ------------------------------------------------------------------ board creation

TEST(EmuBoard, CreatesTheDocumentedLayout) {
    char name[] = "/tmp/emu-layout-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(name));
    std::string dir = std::string(name) + "/board";
    std::string error;
    ASSERT_TRUE(emu_create_board(dir.c_str(), "ABCDEFGHIJKLMNOP", 262144, &error)) << error;

    const std::pair<const char*, size_t> sizes[] = {
        {"uboot", 512u << 10}, {"ubootenv", 64u << 10}, {"devicetree", 256u << 10},
        {"kernel", 8u << 20},  {"rfs", 10u << 20},      {"rescue", 10u << 20}};
    for (const auto& ps : sizes) {
        std::vector<uint8_t> flash = readBytes(dir + "/flash/" + ps.first + ".bin");
        ASSERT_EQ(ps.second, flash.size()) << ps.first;
        EXPECT_EQ(std::vector<uint8_t>(ps.second, 0xFF), flash) << ps.first;
    }
    std::vector<uint8_t> eeprom = readBytes(dir + "/eeprom.bin");
    ASSERT_EQ(65536u, eeprom.size());
    EXPECT_EQ("ABCDEFGHIJKL", std::string(eeprom.begin() + 0x0D, eeprom.begin() + 0x19));
    EXPECT_EQ(0xFF, eeprom[0x0C]);
    EXPECT_EQ(0xFF, eeprom[0x19]);
    EXPECT_EQ(1, eeprom[0x100]);
    EXPECT_EQ(0, eeprom[0x13B]);
    EXPECT_EQ(0xFF, eeprom[0x13A]);
    EXPECT_EQ("erase_size=262144\n", readText(dir + "/board.conf"));
    struct stat st {};
    EXPECT_EQ(0, stat((dir + "/user").c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_NE(0, stat((dir + "/usb").c_str(), &st));

    // A short serial is padded with zero bytes; a missing one leaves all twelve zero.
    ASSERT_TRUE(emu_create_board(dir.c_str(), "SN42", 65536, nullptr));
    eeprom = readBytes(dir + "/eeprom.bin");
    EXPECT_EQ(std::string("SN42\0\0\0\0\0\0\0\0", 12),
              std::string(eeprom.begin() + 0x0D, eeprom.begin() + 0x19));
    ASSERT_TRUE(emu_create_board(dir.c_str(), nullptr, 65536, nullptr));
    eeprom = readBytes(dir + "/eeprom.bin");
    EXPECT_EQ(std::string(12, '\0'), std::string(eeprom.begin() + 0x0D, eeprom.begin() + 0x19));

    EXPECT_FALSE(emu_create_board("/nonexistent-parent/x/board", "S", 65536, &error));
    EXPECT_FALSE(error.empty());
    emu_remove_board(name);
    EXPECT_NE(0, stat(name, &st));
}

} // namespace
