// bmimage: rewriting the signature record of each layout-3 sub-image.
#include <algorithm>
#include <cstdio>

#include "tools/bmimage/bmimage.h"

namespace bmimage {

namespace {

// Appends a record: tag, length, then the body.
void append_record(bytes* header, uint16_t tag, const bytes& body) {
    uint8_t head[IMAGE_RECORD_HEAD];
    image_put_be16(head, tag);
    image_put_be16(head + 2, uint16_t(IMAGE_RECORD_HEAD + body.size()));
    header->insert(header->end(), head, head + sizeof head);
    header->insert(header->end(), body.begin(), body.end());
}

bytes signature_body(const bytes& signature) {
    bytes body(2 + signature.size(), 0);
    image_put_be16(body.data(), uint16_t(signature.size()));
    std::copy(signature.begin(), signature.end(), body.begin() + 2);
    return body;
}

// Appends to out a copy of the sub-image with its signature records replaced
// by one holding `signature`, with H, `len` and the CRC recomputed. Other
// records are kept in order; a record length of 0 ends the records and the
// zero padding after it is dropped. With a manifest, the manifest record comes
// last, its signature bytes zero (sign_manifest fills them); a counter record
// asked for replaces the one there was.
bool append_signed(const std::string& path, const bytes& file, const subimage& s,
                   const bytes& signature, const seal_options& options, bytes* out) {
    const uint8_t* sub = file.data() + s.offset;
    const uint32_t h = s.info.hdr_len;
    bytes header(sub, sub + IMAGE_RECORDS_OFFSET);
    uint32_t offset = IMAGE_RECORDS_OFFSET;
    for (;;) {
        uint32_t at = offset;
        image_record rec;
        int step = image_next_record(sub, h, &offset, &rec);
        if (step == IMAGE_RECORD_END) break;
        if (step != IMAGE_RECORD_OK) {
            bool zero_end = h - at >= IMAGE_RECORD_HEAD && image_get_be16(sub + at + 2) == 0;
            if (zero_end) break;
            fail("%s: sub-image at offset %zu: malformed header record at header offset %u",
                 path.c_str(), s.offset, at);
            return false;
        }
        bool dropped = rec.tag == IMAGE_TAG_SIGNATURE || rec.tag == IMAGE_TAG_MANIFEST ||
                       (rec.tag == IMAGE_TAG_SECURITY_COUNTER && options.set_counter);
        if (!dropped) header.insert(header.end(), sub + at, sub + offset);
    }
    append_record(&header, IMAGE_TAG_SIGNATURE, signature_body(signature));
    if (options.set_counter) {
        bytes counter(4);
        image_put_be32(counter.data(), options.counter);
        append_record(&header, IMAGE_TAG_SECURITY_COUNTER, counter);
    }
    if (options.manifest)
        append_record(&header, IMAGE_TAG_MANIFEST, signature_body(bytes(signature.size(), 0)));
    uint64_t new_h = header.size();
    if (new_h > MAX_HDR_LEN) {
        fail("%s: sub-image at offset %zu: the signed header would exceed %u bytes", path.c_str(),
             s.offset, unsigned(MAX_HDR_LEN));
        return false;
    }
    uint64_t new_size = new_h + s.info.data_len;
    if (new_size - IMAGE_BASE_HEADER_SIZE > UINT32_MAX || out->size() + new_size > MAX_FILE_SIZE) {
        fail("%s: sub-image at offset %zu: too large once signed", path.c_str(), s.offset);
        return false;
    }
    image_put_be16(header.data() + 22, uint16_t(new_h));
    image_put_be32(header.data() + IMAGE_OFF_LEN, uint32_t(new_size - IMAGE_BASE_HEADER_SIZE));

    size_t start = out->size();
    out->insert(out->end(), header.begin(), header.end());
    out->insert(out->end(), data_of(file, s), data_of(file, s) + s.info.data_len);
    seal_crc(out->data() + start, size_t(new_size));
    return true;
}

} // namespace

// Reads IN, checks every sub-image and calls sign_one for each layout-3 one
// (index counts layout-3 sub-images from 0); others are copied unchanged.
int rewrite_signatures(const std::string& in, const std::string& out_path,
                       const sign_function& sign_one, const seal_options& options,
                       const manifest_function& sign_manifest) {
    bytes file;
    std::vector<subimage> subs;
    if (!read_file(in, MAX_FILE_SIZE, &file) || !walk_file(in, file, &subs)) return EXIT_FAIL;
    bytes out;
    size_t index = 0;
    for (size_t i = 0; i < subs.size(); ++i) {
        const subimage& s = subs[i];
        if (!crc_good(file, s)) {
            fail("%s: sub-image %zu at offset %zu has a bad CRC; refusing to seal it", in.c_str(),
                 i + 1, s.offset);
            return EXIT_FAIL;
        }
        if (s.info.layout != 3) {
            fprintf(stderr, "bmimage: note: sub-image %zu at offset %zu is layout %u: unsigned\n",
                    i + 1, s.offset, s.info.layout);
            out.insert(out.end(), file.begin() + s.offset, file.begin() + s.offset + s.size);
            continue;
        }
        bytes signature;
        if (!sign_one(file, s, index, &signature)) return EXIT_FAIL;
        size_t start = out.size();
        if (!append_signed(in, file, s, signature, options, &out)) return EXIT_FAIL;
        if (options.manifest && sign_manifest) {
            uint8_t digest[32];
            bytes manifest;
            if (!manifest_digest_of(out.data() + start, out.size() - start, digest) ||
                !sign_manifest(index, digest, &manifest) ||
                !fill_manifest(out.data() + start, out.size() - start, manifest))
                return EXIT_FAIL;
        }
        ++index;
    }
    if (index == 0) {
        fail("%s: no layout-3 sub-image: nothing can carry a signature", in.c_str());
        return EXIT_FAIL;
    }
    return write_file(out_path, out) ? EXIT_OK : EXIT_FAIL;
}

} // namespace bmimage
