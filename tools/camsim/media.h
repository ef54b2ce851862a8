// Media clips the simulator streams: elementary streams from tests/data split into frames, and
// the JPEG header facts RTP/JPEG needs.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace camsim {

enum class Codec { kH264, kMpeg4, kJpeg, kH265 };

const char* CodecName(Codec c);

struct Frame {
    std::vector<uint8_t> data;  // H.264: Annex B access unit; MPEG-4: headers + VOP; JPEG: file
    bool key = false;
};

struct Clip {
    Codec codec = Codec::kH264;
    int width = 0, height = 0;
    int fps = 25;  // native rate of the clip
    std::vector<Frame> frames;
    std::vector<uint8_t> sps, pps;      // H.264 and H.265, without start codes
    std::vector<uint8_t> vps;           // H.265
    std::vector<uint8_t> mpeg4_config;  // MPEG-4: VOS..VOL before the first VOP
    int mpeg4_profile_level = 1;
    std::string source;  // file name, for logs
};

// Splits an Annex B byte stream into NAL units (without start codes).
std::vector<std::span<const uint8_t>> SplitAnnexB(std::span<const uint8_t> stream);

// One access unit of NAL units as a frame, each unit after a four-byte start code; key when
// is_key says so of any unit.
Frame JoinAccessUnit(const std::vector<std::span<const uint8_t>>& units,
                     bool (*is_key)(std::span<const uint8_t> nal));

// Groups Annex B NAL units into access units; returns an error text or nullopt.
[[nodiscard]] std::optional<std::string> LoadH264(std::span<const uint8_t> stream, Clip* clip);
[[nodiscard]] std::optional<std::string> LoadMpeg4(std::span<const uint8_t> stream, Clip* clip);
[[nodiscard]] std::optional<std::string> LoadMjpeg(std::span<const uint8_t> stream, Clip* clip);

// What RTP/JPEG (RFC 2435) needs from a baseline JFIF picture.
struct JpegInfo {
    int width = 0, height = 0;
    int type = 1;  // 0 = 4:2:2, 1 = 4:2:0 (+64 with restart markers)
    uint16_t restart_interval = 0;
    std::vector<uint8_t> qtables;  // luma then chroma, 64 bytes each (8-bit precision)
    size_t headers_end = 0;        // offset just past the SOS segment (start of scan data)
    size_t scan_end = 0;           // offset of the EOI marker (or end of data)
};

[[nodiscard]] std::optional<JpegInfo> ParseJpeg(std::span<const uint8_t> jpeg,
                                                std::string* error = nullptr);

// Finds clips by codec and size under a media folder, loading each file once.
class MediaLibrary {
  public:
    explicit MediaLibrary(std::string folder);

    // Best clip for the request: exact size when present, else the largest smaller one, else the
    // smallest. For JPEG, compression picks between quality levels; restart asks for the clip
    // with restart markers.
    std::shared_ptr<const Clip> Find(Codec codec, int width, int height, int compression,
                                     bool restart = false);

    const std::string& Folder() const { return folder_; }

  private:
    std::shared_ptr<const Clip> Load(const std::string& file, Codec codec);

    std::string folder_;
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<const Clip>> cache_;
};

}  // namespace camsim
