// The picture a device without video sends in place of live video.
#pragma once

#include <cstdint>
#include <vector>

namespace vornak {

inline constexpr uint32_t kPlaceholderWidth = 176;
inline constexpr uint32_t kPlaceholderHeight = 144;

// A baseline JPEG of kPlaceholderWidth x kPlaceholderHeight.
std::vector<uint8_t> PlaceholderPicture();

}  // namespace vornak
