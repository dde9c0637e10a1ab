// bmimage create: one unsigned sub-image around a data file.
#include <cstdio>
#include <cstring>

#include "tools/bmimage/bmimage.h"

namespace bmimage {

namespace {

const char create_usage[] = "--type TYPE --version A.B.C.D --data FILE [--layout 1|2|3] "
                            "[--type-record TYPE] -o OUT";
const char create_help[] =
    "Makes one unsigned sub-image around the bytes of FILE.\n"
    "  --type TYPE          app, bootloader, kernel, rootfs, devicetree, diags, kvrt or 0xWORD\n"
    "  --version A.B.C.D    the version, four numbers 0 to 255\n"
    "  --data FILE          the data bytes (an application image: a gzip-compressed tar)\n"
    "  --layout 1|2|3       header layout (default 3; only layout 3 can be signed)\n"
    "  --type-record TYPE   layout 3: add a type record naming TYPE\n"
    "  -o OUT               the image file to write\n";

} // namespace

int cmd_create(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        printf("usage: bmimage create %s\n%s", create_usage, create_help);
        return EXIT_OK;
    }
    args a{argc, argv};
    const char *type_text = nullptr, *version_text = nullptr, *data_path = nullptr;
    const char *layout_text = "3", *record_text = nullptr, *out = nullptr;
    while (a.more()) {
        const char* option = a.next();
        const char** target = strcmp(option, "--type") == 0          ? &type_text
                              : strcmp(option, "--version") == 0     ? &version_text
                              : strcmp(option, "--data") == 0        ? &data_path
                              : strcmp(option, "--layout") == 0      ? &layout_text
                              : strcmp(option, "--type-record") == 0 ? &record_text
                              : strcmp(option, "-o") == 0            ? &out
                                                                     : nullptr;
        if (!target) {
            fail("create: unknown argument '%s'", option);
            return usage_error("create", create_usage);
        }
        if (!option_value(a, option, target)) return EXIT_USAGE;
    }
    if (!type_text || !version_text || !data_path || !out)
        return usage_error("create", create_usage);
    uint32_t type, id, record_type = 0;
    if (!parse_type(type_text, &type)) {
        fail("create: unknown type '%s'", type_text);
        return EXIT_USAGE;
    }
    if (!parse_version(version_text, &id)) {
        fail("create: version '%s' is not A.B.C.D with numbers 0 to 255", version_text);
        return EXIT_USAGE;
    }
    int layout = strcmp(layout_text, "1") == 0   ? 1
                 : strcmp(layout_text, "2") == 0 ? 2
                 : strcmp(layout_text, "3") == 0 ? 3
                                                 : 0;
    if (!layout) {
        fail("create: layout '%s' is not 1, 2 or 3", layout_text);
        return EXIT_USAGE;
    }
    if (record_text && (layout != 3 || !parse_type(record_text, &record_type))) {
        fail("create: --type-record needs layout 3 and a type");
        return EXIT_USAGE;
    }
    if (layout == 1 && (type & IMAGE_MAGIC_LAYOUT2)) {
        fail("create: type word 0x%08x has bit 31 set, which marks layout 2", type);
        return EXIT_USAGE;
    }

    bytes data;
    if (!read_file(data_path, MAX_FILE_SIZE - MAX_HDR_LEN, &data)) return EXIT_FAIL;
    uint32_t h = layout == 1   ? IMAGE_BASE_HEADER_SIZE
                 : layout == 2 ? LAYOUT2_HDR_LEN
                               : IMAGE_LAYOUT3_MIN_HDR + (record_text ? TYPE_RECORD_LEN : 0);
    if (layout == 1) {
        // A reader takes the first 24 bytes of every sub-image; data that would
        // make them read as a layout-3 header, or end before them, cannot be stored.
        if (data.size() < IMAGE_PREFIX_SIZE - IMAGE_BASE_HEADER_SIZE) {
            fail("create: layout 1 needs at least %u data bytes",
                 unsigned(IMAGE_PREFIX_SIZE - IMAGE_BASE_HEADER_SIZE));
            return EXIT_FAIL;
        }
        if (image_get_be32(data.data()) == IMAGE_HDR3_MAGIC) {
            fail("create: data starting with \"HDR3\" would read as a layout-3 header");
            return EXIT_FAIL;
        }
    }
    bytes image(h, 0);
    uint64_t len = layout == 3 ? uint64_t(h) + data.size() - IMAGE_BASE_HEADER_SIZE : data.size();
    image_put_be32(image.data() + IMAGE_OFF_LEN, uint32_t(len));
    image_put_be32(image.data() + IMAGE_OFF_MAGIC, layout == 2 ? type | IMAGE_MAGIC_LAYOUT2 : type);
    image_put_be32(image.data() + IMAGE_OFF_ID, id);
    if (layout == 2) image_put_be16(image.data() + 18, uint16_t(h));
    if (layout == 3) {
        image_put_be32(image.data() + 16, IMAGE_HDR3_MAGIC);
        image_put_be16(image.data() + 22, uint16_t(h));
        if (record_text) {
            uint8_t* rec = image.data() + IMAGE_RECORDS_OFFSET;
            image_put_be16(rec, IMAGE_TAG_TYPE);
            image_put_be16(rec + 2, uint16_t(TYPE_RECORD_LEN));
            image_put_be32(rec + 4, record_type);
        }
    }
    image.insert(image.end(), data.begin(), data.end());
    seal_crc(image.data(), image.size());
    return write_file(out, image) ? EXIT_OK : EXIT_FAIL;
}

} // namespace bmimage
