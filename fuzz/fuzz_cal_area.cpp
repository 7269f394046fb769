// The configuration area on a fuzzed flash image (an in-memory NAND flash,
// mem_nand.h): scan, reads, writes and compactions. After every write:
// - a block whose write was acknowledged reads back as written;
// - every block that read before the write reads the same after it, and
//   the written one reads as before or as written when the write failed
//   or the power was cut during it (read at the next power-on); only a
//   power cut during a user block's write may cost the user blocks, but
//   never makes one read an older value.
// Input: a byte choosing the geometry, a bad-block mask, a 16-bit image
// length and the image's first bytes (the rest erased), then writes of
// three bytes each: block and area, data length, power cut (low 6 bits:
// 0 none, else the flash operation of the write that loses power; top 2
// bits: the cut's shape).
// With KS_FUZZ_SEED_OUT naming a directory, flash images written by the
// library itself are put there as seed inputs.
#include "cal/cal.h"
#include "fuzz/files.h"
#include "fuzz/mem_nand.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>

namespace {

const mem_nand::geometry geometries[4] = {
    {6, 1024, 256}, {9, 2048, 512}, {7, 512, 128}, {6, 0x4000, 0x800}};
const char *const names[4] = {"r&d_mode", "phone-info", "a", "sixteen-char-nam"};

typedef std::pair<int, int> key;  // name, flags
typedef std::map<key, std::string> blocks;

void quiet(const char *) {}

// The blocks that read in one read-only set-up each.
blocks read_all()
{
    blocks out;
    for (int flags : {0, CAL_FLAG_USER})
        for (int n = 0; n < 4; n++) {
            cal_context *ctx = nullptr;
            if (cal_init_ro(&ctx) != 0)
                continue;
            unsigned char *data = nullptr;
            uint32_t length = 0;
            if (cal_read_block(ctx, names[n], &data, &length, flags) == 0) {
                out[{n, flags}] = std::string(reinterpret_cast<char *>(data), length);
                free(data);
            }
            cal_release(ctx);
        }
    return out;
}

int write_block(int n, int flags, const std::string &data)
{
    cal_context *ctx = nullptr;
    if (cal_init_rw(&ctx) != 0)
        return -3;
    int r = cal_write_block(ctx, names[n], reinterpret_cast<const unsigned char *>(data.data()),
                            uint32_t(data.size()), flags);
    cal_release(ctx);
    return r;
}

// Seeds: images of each geometry after writes that fill, compact and
// version both areas, followed by a few writes of their own.
void write_seeds(const char *dir)
{
    for (unsigned g = 0; g < 3; g++) {
        const uint8_t none = 0xFF;
        mem_nand::reset(geometries[g], &none, 1, 0);
        for (int round = 0; round < 5; round++) {
            write_block(0, 0, std::string(size_t(40 + 60 * round), char('a' + round)));
            write_block(1, 0, std::string(100, char('p' + round)));
            write_block(round & 3, CAL_FLAG_USER, std::string(size_t(20 + round), 'u'));
        }
        std::string image = mem_nand::contents();
        if (image.size() > 0xFFFF)
            continue;
        std::string seed{char(g), 0, char(image.size() & 0xFF), char(image.size() >> 8)};
        seed += image;
        seed += std::string("\x00\x10\x00\x05\x20\x00\x02\x40\x03", 9);
        if (!fuzz_files::write(std::string(dir) + "/written-g" + std::to_string(g), seed))
            abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    cal_error_hook = quiet;
    cal_debug_hook = nullptr;
    // The library must reach the flash in memory and no other.
    const uint8_t none = 0xFF;
    mem_nand::reset(geometries[0], &none, 1, 0);
    read_all();
    if (mem_nand::opens() == 0)
        abort();
    if (const char *dir = getenv("KS_FUZZ_SEED_OUT"))
        write_seeds(dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    const mem_nand::geometry &g = geometries[data[0] & 3];
    size_t image = size_t(data[2]) | size_t(data[3]) << 8;
    size_t at = 4;
    if (image > size - at)
        image = size - at;
    mem_nand::reset(g, data + at, image, data[1]);
    at += image;

    blocks before = read_all();
    for (unsigned op = 0; size - at >= 3 && op < 8; op++, at += 3) {
        int n = data[at] & 3;
        int flags = (data[at] & 4) ? CAL_FLAG_USER : 0;
        size_t length = size_t(data[at + 1]) * 3;
        // The cut: operation in the low 6 bits, shape in the top 2.
        unsigned cut = data[at + 2] & 0x3F;
        const mem_nand::cut_shape shape = mem_nand::cut_shape((data[at + 2] >> 6) % 3);
        std::string block(length, '\0');
        for (size_t i = 0; i < length; i++)
            block[i] = char(op * 37 + i * 13 + data[at]);

        mem_nand::arm_power_cut(cut, shape, uint32_t(data[at] * 131 + op + 1));
        int r = write_block(n, flags, block);
        bool cut_off = mem_nand::powered_off();
        mem_nand::power_on();
        blocks after = read_all();

        // The user area has no second half: a full one is compacted in
        // place, so a power cut during a user block's write may cost the
        // user blocks, the written one too. The configuration blocks never.
        key written{n, flags};
        bool user_cut = cut_off && flags == CAL_FLAG_USER;
        for (const auto &b : before) {
            // A cut user write may lose user blocks, never make one read
            // a value other than its last one (an older one).
            if (user_cut && b.first.second == CAL_FLAG_USER) {
                auto now = after.find(b.first);
                if (now != after.end() && now->second != b.second &&
                    !(b.first == written && now->second == block))
                    abort();
                continue;
            }
            if (b.first != written && (!after.count(b.first) || after[b.first] != b.second))
                abort();
        }
        auto now = after.find(written);
        if (r == 0 && !cut_off) {
            if (now == after.end() || now->second != block)
                abort();
        } else if (!user_cut) {
            auto old = before.find(written);
            bool as_before = old == before.end() ? now == after.end()
                                                 : now != after.end() && now->second == old->second;
            bool as_written = now != after.end() && now->second == block;
            if (!as_before && !as_written)
                abort();
        }
        before.swap(after);
    }
    return 0;
}
