/* The codec alone, without Python: for each count n on the command line, an
 * indefinite map of n entries {i: 7} appended to one cbor_buffer, the bytes
 * dumps(dict.fromkeys(range(n), 7)) returns. Prints the fastest of three
 * runs and how often the heap moved the block. `make bench-growth` runs it
 * natively and as a Windows program under wine. */
#include "cbor_writer.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
    for (int argument = 1; argument < argc; ++argument) {
        const uint64_t entries = std::strtoull(argv[argument], nullptr, 10);
        double best = 0;
        uint64_t size = 0;
        uint64_t moves = 0;
        for (int run = 0; run < 3; ++run) {
            const auto start = std::chrono::steady_clock::now();
            cbor_buffer *buffer = cbor_buffer_new();
            const unsigned char *block = nullptr;
            moves = 0;
            cbor_put_map_start(buffer, CBOR_INDEFINITE);
            for (uint64_t key = 0; key < entries; ++key) {
                cbor_put_uint(buffer, key);
                cbor_put_uint(buffer, 7);
                if (buffer->data != block) {
                    block = buffer->data;
                    ++moves;
                }
            }
            cbor_put_break(buffer);
            const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
            if (cbor_buffer_failed(buffer)) {
                std::fprintf(stderr, "out of memory at %llu entries\n", static_cast<unsigned long long>(entries));
                return 1;
            }
            size = buffer->size;
            cbor_buffer_free(buffer);
            if (run == 0 || seconds.count() < best) best = seconds.count();
        }
        std::printf("%llu entries: %llu bytes in %.4f s, the block moved %llu times\n",
                    static_cast<unsigned long long>(entries), static_cast<unsigned long long>(size), best,
                    static_cast<unsigned long long>(moves));
    }
    return 0;
}
