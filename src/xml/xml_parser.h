// Read-only access to one XML document (the settings file, XML replies of the device): load
// once, then read node texts and attributes chosen by XPath 1.0 expressions. Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/sync.h"

namespace vornak {

class CXMLParser {
  public:
    CXMLParser() = default;
    virtual ~CXMLParser();
    CXMLParser(const CXMLParser&) = delete;
    CXMLParser& operator=(const CXMLParser&) = delete;

    // False for a missing file, a document that is not well-formed, or when already loaded.
    bool LoadFile(const std::string& fileName);
    // namespaces: declarations "xmlns:p='uri' xmlns:q='uri2'" whose prefixes paths may use.
    bool LoadXml(std::string_view text, std::string_view namespaces = {});
    void Close();
    bool IsLoaded();

    // Value of the first child of the first matching node (an element's text); empty when
    // nothing matches or the node has no child.
    std::string GetNodeText(const std::string& path);
    std::vector<std::string> GetNodeTexts(const std::string& path);
    std::string GetAttribute(const std::string& path, const std::string& name);
    std::vector<std::string> GetAttributes(const std::string& path, const std::string& name);
    bool NodeExists(const std::string& path);
    // Names of the matching elements and attributes, with the line each stands on (an
    // attribute's is its element's), so that a checker can walk a document it does not know.
    struct NodeName {
        std::string name;
        long line = 0;
    };
    std::vector<NodeName> GetNodeNames(const std::string& path);

    // Parses "xmlns:p='uri'" declarations (single or double quotes); false on anything else.
    [[nodiscard]] static bool ParseNamespaceDeclarations(
        std::string_view text, std::vector<std::pair<std::string, std::string>>& out);

  private:
    struct Query;
    template <typename Visit>
    void ForEachMatch(const std::string& path, bool firstOnly, Visit visit);

    CLock lock_;
    void* document_ = nullptr;  // xmlDoc, owned
    std::string fileName_;
    bool loaded_ = false;
    std::vector<std::pair<std::string, std::string>> namespaces_;
};

// False for an empty path or one that does not exist; true for every other outcome,
// including files that exist but cannot be read.
bool FileExists(const std::string& path);

struct FileVersionNumbers {
    uint16_t major = 0;
    uint16_t minor = 0;
    uint16_t build = 0;
    uint16_t revision = 0;
};
// Version of a shared library from its resolved file name ("libname.so.1.2.3.4"); 0.0.0.0 and
// false when the name carries none.
bool GetFileVersion(const std::string& path, FileVersionNumbers& version);

}  // namespace vornak
