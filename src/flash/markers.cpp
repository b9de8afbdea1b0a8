#include "flash/markers.h"

MarkerScanner::Marker MarkerScanner::feed(std::string_view text) {
    std::string joined = tail_;
    joined.append(text);
    const size_t keep = kBanner.size() - 1;
    tail_ = joined.size() > keep ? joined.substr(joined.size() - keep) : joined;
    if (joined.find(kBanner) != std::string::npos) {
        return Marker::Banner;
    }
    if (joined.find(kWrongMode) != std::string::npos) {
        return Marker::WrongMode;
    }
    return Marker::None;
}
