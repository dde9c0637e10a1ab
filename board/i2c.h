// I2C buses, the board EEPROM behind its multiplexer, the real-time clock and the LED controller.
#pragma once
#include <cstdint>

enum : int {
    I2C_BUS_COUNT = 3,
    I2C_MUX_ADDR = 0x71, // 7-bit
    EEPROM_ADDR = 0x52,  // 7-bit
    EEPROM_ADDR8 = 0xA4, // 8-bit form
    LED_ADDR = 0x58,     // 7-bit
    LED_ADDR8 = 0xB0,
    RTC_ADDR = 0x68, // 7-bit
    RTC_ADDR8 = 0xD0,

    EEPROM_SERIAL = 0x000D,
    EEPROM_SERIAL_LEN = 12,
    EEPROM_BOOT_SLOT = 0x0100,
    EEPROM_SLOT1_STAMP = 0x0108,
    EEPROM_SLOT2_STAMP = 0x0110,
    EEPROM_BOOT_SOURCE = 0x013A,
    EEPROM_USB_BOOT = 0x013B,
    USB_BOOT_ENABLED = 0xD5,
};

extern int i2c_handles[I2C_BUS_COUNT];

int i2c_open_buses();
int i2c_close_buses();
void i2c_mux_select(int bus, int channel);
void i2c_mux_deselect(int bus);
int i2c_read_regs(int bus, int device8, uint16_t offset, int count, int offset_width,
                  uint8_t* buffer);
uint8_t board_read(uint16_t offset, int count, uint8_t* buffer);
int board_write(uint16_t offset, uint8_t value);
uint8_t board_get_boot_slot();
int board_set_boot_slot(uint8_t slot);
int board_set_boot_source(uint8_t code);
uint8_t board_get_usb_boot();
uint8_t board_read_serial(uint8_t* buffer12);
int board_set_image_timestamp(int slot, const uint8_t* stamp7);
int board_stamp_image(int slot);
int rtc_read(uint8_t* buffer7);
uint8_t led_reg_read(uint8_t reg, uint8_t* buffer);
int led_reg_write(uint8_t reg, uint8_t value);
