// Most-significant-bit-first reader over a byte span. Reading past the end yields 1 bits and
// marks the reader overrun, so a truncated header fails once at the end instead of at every
// field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vornak {

class CBitReader {
  public:
    // skipEmulationPrevention: H.264 NAL units hide start codes by inserting 03 after 00 00;
    // those bytes are not part of the syntax and are skipped.
    explicit CBitReader(std::span<const uint8_t> data, bool skipEmulationPrevention = false)
        : data_(data), skipEpb_(skipEmulationPrevention) {}

    uint32_t ReadBit() {
        if (bytePos_ >= data_.size()) {
            overrun_ = true;
            return 1;
        }
        if (bitPos_ == 0 && skipEpb_ && zeros_ >= 2 && data_[bytePos_] == 0x03) {
            zeros_ = 0;
            ++bytePos_;
            if (bytePos_ >= data_.size()) {
                overrun_ = true;
                return 1;
            }
        }
        const uint32_t bit = (data_[bytePos_] >> (7 - bitPos_)) & 1u;
        if (++bitPos_ == 8) {
            zeros_ = data_[bytePos_] == 0 ? zeros_ + 1 : 0;
            bitPos_ = 0;
            ++bytePos_;
        }
        return bit;
    }

    // Up to 32 bits.
    uint32_t ReadBits(unsigned count) {
        uint32_t value = 0;
        for (unsigned i = 0; i < count; ++i) {
            value = value << 1 | ReadBit();
        }
        return value;
    }

    bool ReadFlag() { return ReadBit() != 0; }

    void SkipBits(size_t count) {
        for (size_t i = 0; i < count && !overrun_; ++i) {
            ReadBit();
        }
    }

    // Exp-Golomb ue(v). Codes longer than 32 bits mark the reader overrun.
    uint32_t ReadUe() {
        unsigned zeros = 0;
        while (ReadBit() == 0) {
            if (++zeros > 31) {
                overrun_ = true;
                return 0;
            }
        }
        if (zeros == 0) {
            return 0;
        }
        return static_cast<uint32_t>((1ull << zeros) - 1 + ReadBits(zeros));
    }

    // se(v): ue values 1, 2, 3, 4 ... map to 1, -1, 2, -2 ...
    int32_t ReadSe() {
        const uint32_t k = ReadUe();
        const int32_t magnitude = static_cast<int32_t>((k + 1ull) / 2);
        return (k & 1u) != 0 ? magnitude : -magnitude;
    }

    bool Overrun() const { return overrun_; }
    bool AtEnd() const { return bytePos_ >= data_.size(); }

  private:
    std::span<const uint8_t> data_;
    bool skipEpb_;
    size_t bytePos_ = 0;
    unsigned bitPos_ = 0;
    unsigned zeros_ = 0;  // zero bytes just read, for emulation prevention
    bool overrun_ = false;
};

}  // namespace vornak
