// I2C buses, the board EEPROM behind its multiplexer, the real-time clock and the LED controller.
#include "board/i2c.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <vector>

#include "board/devio.h"
#include "board/sys.h"

namespace {

constexpr unsigned long kI2cSlave = 0x0703; // i2c-dev: select the 7-bit address
constexpr uint64_t kWritePause = 100000;    // the devices need 100 ms after a write

// A bus that was never opened (handle 0) must not reach descriptor 0, the console.
bool bus_open(int bus) {
    return bus >= 0 && bus < I2C_BUS_COUNT && i2c_handles[bus] > 0;
}

int select_device(int bus, int addr7) {
    if (!bus_open(bus)) {
        errno = EBADF;
        return -1;
    }
    return dev_ioctl(i2c_handles[bus], kI2cSlave,
                     reinterpret_cast<void*>(static_cast<uintptr_t>(addr7)));
}

ssize_t bus_write(int bus, const uint8_t* data, size_t count) {
    if (!bus_open(bus)) {
        errno = EBADF;
        return -1;
    }
    return dev_write(i2c_handles[bus], data, count);
}

ssize_t bus_read(int bus, uint8_t* data, size_t count) {
    if (!bus_open(bus)) {
        errno = EBADF;
        return -1;
    }
    return dev_read(i2c_handles[bus], data, count);
}

// Writes all of data; a short transfer counts as a failure (-1, errno set).
int bus_write_all(int bus, const uint8_t* data, size_t count) {
    ssize_t written = bus_write(bus, data, count);
    if (written < 0) return -1;
    if (static_cast<size_t>(written) != count) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(written);
}

} // namespace

int i2c_handles[I2C_BUS_COUNT] = {0, 0, 0};

int i2c_open_buses() {
    for (int bus = 0; bus < I2C_BUS_COUNT; ++bus) {
        char path[32];
        snprintf(path, sizeof path, "/dev/i2c-%d", bus);
        int fd = dev_open(path, O_RDWR);
        if (fd < 0) {
            printf("ERROR: driver %s couldn't be opened\n", path);
            return -1;
        }
        i2c_handles[bus] = fd;
    }
    return 0;
}

int i2c_close_buses() {
    for (int bus = 0; bus < I2C_BUS_COUNT; ++bus) {
        if (i2c_handles[bus] > 0) dev_close(i2c_handles[bus]);
        i2c_handles[bus] = 0;
    }
    return 0;
}

void i2c_mux_select(int bus, int channel) {
    // Channels 0 to 7 exist; anything else leaves every channel closed.
    uint8_t control = (channel >= 0 && channel < 8) ? static_cast<uint8_t>(1u << channel) : 0;
    if (select_device(bus, I2C_MUX_ADDR) < 0) return;
    bus_write(bus, &control, 1);
}

void i2c_mux_deselect(int bus) {
    uint8_t control = 0;
    if (select_device(bus, I2C_MUX_ADDR) < 0) return;
    bus_write(bus, &control, 1);
}

int i2c_read_regs(int bus, int device8, uint16_t offset, int count, int offset_width,
                  uint8_t* buffer) {
    uint8_t address[2];
    size_t address_len = 0;
    if (offset_width == 2) {
        address[address_len++] = static_cast<uint8_t>(offset >> 8);
    }
    address[address_len++] = static_cast<uint8_t>(offset & 0xFF);

    if (select_device(bus, device8 >> 1) < 0) {
        printf("I2C error when setting bus %d, device 0x%x: %d\n", bus, device8, errno);
        return 0;
    }
    if (bus_write_all(bus, address, address_len) < 0) {
        printf("I2C error - device 0x%x writing bus %d offset %d: %d\n", device8, bus, offset,
               errno);
        return 0;
    }
    // Read into a scratch buffer so that a failed or short read leaves the caller's bytes alone.
    ssize_t got = -1;
    std::vector<uint8_t> scratch;
    if (count < 0 || (count > 0 && !buffer)) {
        errno = EINVAL;
    } else {
        scratch.resize(static_cast<size_t>(count));
        got = bus_read(bus, scratch.data(), scratch.size());
    }
    if (got < count) {
        if (got >= 0) errno = EIO;
        printf("I2C error - device 0x%x @ %d, %d bytes : %d\n", device8, offset, count, errno);
        return 0;
    }
    if (count > 0) memcpy(buffer, scratch.data(), scratch.size());
    return 1;
}

uint8_t board_read(uint16_t offset, int count, uint8_t* buffer) {
    i2c_mux_select(0, 0);
    i2c_read_regs(0, EEPROM_ADDR8, offset, count, 2, buffer);
    i2c_mux_deselect(0);
    return (buffer && count > 0) ? buffer[0] : 0;
}

int board_write(uint16_t offset, uint8_t value) {
    i2c_mux_select(0, 0);
    int result = select_device(0, EEPROM_ADDR);
    if (result < 0) {
        printf("I2C error when setting bus %d: %d\n", 0, errno);
    } else {
        const uint8_t data[3] = {static_cast<uint8_t>(offset >> 8),
                                 static_cast<uint8_t>(offset & 0xFF), value};
        result = bus_write_all(0, data, sizeof data);
        int saved = errno;
        sys_usleep(kWritePause);
        if (result < 0) printf("I2C error when writing bus %d offset %d: %d\n", 0, offset, saved);
    }
    i2c_mux_deselect(0);
    return result;
}

uint8_t board_get_boot_slot() {
    uint8_t slot = 0;
    board_read(EEPROM_BOOT_SLOT, 1, &slot);
    return slot;
}

int board_set_boot_slot(uint8_t slot) {
    return board_write(EEPROM_BOOT_SLOT, slot);
}

int board_set_boot_source(uint8_t code) {
    return board_write(EEPROM_BOOT_SOURCE, code);
}

uint8_t board_get_usb_boot() {
    uint8_t value = 0;
    board_read(EEPROM_USB_BOOT, 1, &value);
    return value;
}

uint8_t board_read_serial(uint8_t* buffer12) {
    return board_read(EEPROM_SERIAL, EEPROM_SERIAL_LEN, buffer12);
}

int board_set_image_timestamp(int slot, const uint8_t* stamp7) {
    uint16_t base = 0;
    if (slot == 1) {
        base = EEPROM_SLOT1_STAMP;
    } else if (slot == 2) {
        base = EEPROM_SLOT2_STAMP;
    } else {
        return 0;
    }
    if (!stamp7) return 0;
    for (int i = 0; i < 7; ++i) {
        if (board_write(static_cast<uint16_t>(base + i), stamp7[i]) < 0) {
            printf("Error setting image timestamp at offset 0x%x byte %d\n", base, i);
            return 0;
        }
    }
    return 1;
}

int board_stamp_image(int slot) {
    uint8_t clock[7] = {0}; // a failed clock read stamps zeros, never stack garbage
    rtc_read(clock);
    sys_sleep(1);
    return board_set_image_timestamp(slot, clock);
}

int rtc_read(uint8_t* buffer7) {
    return i2c_read_regs(2, RTC_ADDR8, 0, 7, 1, buffer7);
}

uint8_t led_reg_read(uint8_t reg, uint8_t* buffer) {
    i2c_read_regs(0, LED_ADDR8, reg, 1, 1, buffer);
    return buffer ? buffer[0] : 0;
}

int led_reg_write(uint8_t reg, uint8_t value) {
    int result = select_device(0, LED_ADDR);
    if (result < 0) {
        printf("I2C error when setting LED on bus %d: %d\n", 0, errno);
        return result;
    }
    const uint8_t data[2] = {reg, value};
    result = bus_write_all(0, data, sizeof data);
    int saved = errno;
    sys_usleep(kWritePause);
    if (result < 0) printf("I2C error when writing LED on bus %d offset %d: %d\n", 0, reg, saved);
    return result;
}
