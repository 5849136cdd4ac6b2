// One datagram's worth of work: frame text to bytes, the CRC test and the
// decoding of a valid frame.
#include <benchmark/benchmark.h>

#include "core/arithmetic.h"
#include "core/frame.h"

namespace {

void frame_text_to_decoded_frame(benchmark::State& run)
{
    set_arithmetic_mode();
    bit_mask_table masks;
    fill_bit_mask_table(masks);
    receiver_state state;
    byte_string frame_data;
    const byte_string text = "01D2040C22387767BCC182883AC2F8021B09F6CD3018";
    for (auto _ : run) {
        const byte_string bytes = frame_text_to_bytes(text);
        if (verify_frame(masks, bytes, state, frame_data)) {
            decoded_frame frame = decode_frame(frame_data, state);
            benchmark::DoNotOptimize(frame);
            update_previous(frame, state);
        }
    }
}
BENCHMARK(frame_text_to_decoded_frame);

// The definition of the CRC, for comparison with the byte-step table that
// verify_frame uses.
void bit_by_bit_crc_of_frame_data(benchmark::State& run)
{
    bit_mask_table masks;
    fill_bit_mask_table(masks);
    const byte_string data = frame_text_to_bytes("01D2040C22387767BCC182883AC2F8021B09F6CD").substr(0, 20);
    for (auto _ : run) benchmark::DoNotOptimize(frame_crc16(masks, data));
}
BENCHMARK(bit_by_bit_crc_of_frame_data);

}  // namespace
