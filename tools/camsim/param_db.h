// The camera's parameter database as param.cgi shows it: ordered "root.Group.Param=value" lines
// matched case-insensitively, dynamic groups created from templates, and type definitions for the
// XML schema listing.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text_util.h"

namespace camsim {

// Domain of one parameter for validation and for listdefinitions.
struct ParamType {
    enum class Kind { kString, kInt, kBool, kEnum };
    Kind kind = Kind::kString;
    long long min = 0, max = 0;  // kInt (both zero: unbounded)
    std::string true_text = "yes", false_text = "no";
    std::vector<std::pair<std::string, std::string>> entries;  // kEnum: value, niceValue
    bool readonly = false;
    size_t maxlen = 0;  // kString, 0 = unlimited
};

// A template for action=add: "add&template=motion&group=Motion" makes Motion.M<n>.*.
struct ParamTemplate {
    std::string name;    // as written in requests, e.g. "streamprofile"
    std::string parent;  // e.g. "StreamProfile", "Image.I0.Overlay.MaskWindows"
    char letter = 'S';
    size_t max_groups = 0;                                      // 0 = no limit
    std::vector<std::pair<std::string, std::string>> defaults;  // Param, value
};

// Settings that shape how answers are written, carried by the profile file ("@option" lines).
struct ProfileOptions {
    std::string http_version = "1.0";  // version in HTTP status lines: "1.0" or "1.1"
    std::string line_end = "\r\n";     // param.cgi line end: CR LF (older firmware) or LF
    std::string mac = "ACCC8E012345";  // realm "AXIS_<mac>"
};

class ParamDb {
  public:
    // Reads a profile text: parameter lines, "#" comments, "@option", "@type" and "@template"
    // directives. Returns an error text naming the first bad line, or nullopt.
    std::optional<std::string> LoadProfileText(std::string_view text);

    ProfileOptions Options() const;

    // Raw access for the simulator and tests; names with or without "root.".
    std::optional<std::string> Get(std::string_view name) const;
    void Set(std::string_view name, std::string_view value);  // creates when missing
    bool HasGroup(std::string_view group) const;
    // Replaces the domain of a parameter ("#" for a group number, as in "@type"); later updates
    // are validated against it, so a test can make the camera refuse chosen values.
    void SetType(std::string_view name, const ParamType& type);
    // Parameters under a group (name without "root.", value), in database order.
    std::vector<std::pair<std::string, std::string>> GroupEntries(std::string_view group) const;

    // param.cgi actions; each returns the reply body.
    std::string List(std::string_view groups) const;
    std::string Update(const QueryArgs& args);
    std::string Add(const QueryArgs& args);
    std::string Remove(std::string_view groups);
    std::string ListDefinitions(std::string_view groups) const;

    const std::string& LineEnd() const { return options_.line_end; }

  private:
    struct Entry {
        std::string name;  // canonical spelling, without "root."
        std::string value;
    };

    static std::string StripRoot(std::string_view name);
    std::optional<size_t> FindLocked(std::string_view name) const;
    std::vector<size_t> MatchGroupLocked(std::string_view group) const;
    std::optional<std::string> ValidateLocked(const std::string& name,
                                              const std::string& value) const;
    const ParamType* TypeOfLocked(const std::string& name) const;
    void RebuildIndexLocked();

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::map<std::string, size_t> index_;     // lower-case name -> position
    std::map<std::string, ParamType> types_;  // lower-case name -> type
    std::vector<ParamTemplate> templates_;
    ProfileOptions options_;
};

}  // namespace camsim
