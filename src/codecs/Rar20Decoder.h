// RAR 2.0 decoder (unpack versions 20 and 26): LZ with prefix-code tables sent
// in the stream, and the multimedia (audio) mode in which each of up to four
// channels codes the error of an adaptive delta predictor. 1 MiB window.
// Produces exactly the entry's size; the stream has no end marker. Window,
// tables and predictor state stay in the object for solid archives.
#pragma once

#include <array>
#include <cstdint>

#include "codecs/ByteStream.h"
#include "codecs/RarBitInput.h"
#include "codecs/RarHuffman.h"
#include "codecs/RarLzWindow.h"

namespace velmora {

class Rar20Decoder {
public:
    // Decodes one entry of out_size bytes. With solid_continue the previous
    // entry's window, tables and audio state carry on; that needs a previous
    // entry that decoded completely, else data_error.
    DecodeStatus decode(ByteSource& in, ByteSink& out, uint64_t out_size, bool solid_continue);

    static constexpr unsigned num_main = 298;   // 256 literals, repeat, 4 old distances, 8 short, table, 28 lengths
    static constexpr unsigned num_dist = 48;
    static constexpr unsigned num_len = 28;
    static constexpr unsigned num_audio = 257;  // 256 deltas and "new tables"
    static constexpr unsigned max_channels = 4;
    static constexpr unsigned table_bytes = max_channels * num_audio;
    static_assert(table_bytes >= num_main + num_dist + num_len);

private:
    // The adaptive predictor of one audio channel.
    struct audio_channel {
        int k1 = 0, k2 = 0, k3 = 0, k4 = 0, k5 = 0;
        int d1 = 0, d2 = 0, d3 = 0, d4 = 0;
        int last_delta = 0;
        std::array<uint32_t, 11> dif{};
        uint32_t byte_count = 0;
        int last_char = 0;
    };

    DecodeStatus read_tables();
    void read_last_tables();
    DecodeStatus run(ByteSink& out, uint64_t out_size);
    DecodeStatus decode_lz(size_t round_end, size_t hard_end);
    DecodeStatus decode_audio(size_t round_end);
    uint8_t audio_decode(uint8_t delta);

    RarBitInput in_;
    RarLzWindow win_;
    bool ready_ = false;      // previous entry ended cleanly
    bool tables_ok_ = false;  // the current tables were read without fault

    RarHuffman<num_main, 10> main_;
    RarHuffman<num_dist, 8> dist_;
    RarHuffman<num_len, 8> len_;
    std::array<RarHuffman<num_audio, 10>, max_channels> audio_code_;
    std::array<uint8_t, table_bytes> levels_{};  // the last code lengths; new ones are sent as changes

    bool audio_ = false;
    unsigned channels_ = 1;
    unsigned cur_channel_ = 0;
    int channel_delta_ = 0;
    std::array<audio_channel, max_channels> audio_state_{};

    std::array<uint32_t, 4> old_dist_{};  // 1-based distances
    uint32_t old_dist_ptr_ = 0;
    uint32_t last_length_ = 0;
};

} // namespace velmora
