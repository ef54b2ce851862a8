#include "xml/xml_parser.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/host_info.h"

namespace vornak {

namespace {
// No network, no external entities, no noise on stderr; blanks kept as the device sent them.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

void InitLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

void IgnoreError(void*, xmlErrorPtr) {}

xmlDoc* Doc(void* document) {
    return static_cast<xmlDoc*>(document);
}

std::string Text(const xmlChar* text) {
    return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
}

// What a node's value reads as: text of text-like nodes, the value of an attribute.
std::string NodeValue(xmlNode* node) {
    if (node == nullptr) {
        return {};
    }
    switch (node->type) {
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_COMMENT_NODE:
        case XML_PI_NODE:
        case XML_ATTRIBUTE_NODE: {
            xmlChar* content = xmlNodeGetContent(node);
            std::string value = Text(content);
            xmlFree(content);
            return value;
        }
        default:
            return {};
    }
}
}  // namespace

CXMLParser::~CXMLParser() {
    Close();
}

bool CXMLParser::ParseNamespaceDeclarations(std::string_view text,
                                            std::vector<std::pair<std::string, std::string>>& out) {
    std::vector<std::pair<std::string, std::string>> parsed;
    constexpr std::string_view kBlank = " \t\r\n";
    for (;;) {
        const size_t start = text.find_first_not_of(kBlank);
        if (start == std::string_view::npos) {
            break;
        }
        text.remove_prefix(start);
        if (text.substr(0, 6) != "xmlns:") {
            return false;
        }
        text.remove_prefix(6);
        const size_t equals = text.find('=');
        if (equals == 0 || equals == std::string_view::npos || equals + 1 >= text.size()) {
            return false;
        }
        const std::string_view prefix = text.substr(0, equals);
        if (prefix.find_first_of(" \t\r\n'\"") != std::string_view::npos) {
            return false;
        }
        const char quote = text[equals + 1];
        if (quote != '\'' && quote != '"') {
            return false;
        }
        const size_t close = text.find(quote, equals + 2);
        if (close == std::string_view::npos) {
            return false;
        }
        parsed.emplace_back(std::string(prefix),
                            std::string(text.substr(equals + 2, close - equals - 2)));
        text.remove_prefix(close + 1);
    }
    out = std::move(parsed);
    return true;
}

bool CXMLParser::LoadFile(const std::string& fileName) {
    if (fileName.empty() || !FileExists(fileName)) {
        return false;
    }
    CLockGuard guard(lock_);
    if (loaded_) {
        return false;
    }
    InitLibrary();
    xmlDoc* doc = xmlReadFile(fileName.c_str(), nullptr, kParseOptions);
    if (doc == nullptr) {
        return false;
    }
    document_ = doc;
    fileName_ = fileName;
    loaded_ = true;
    return true;
}

bool CXMLParser::LoadXml(std::string_view text, std::string_view namespaces) {
    CLockGuard guard(lock_);
    if (loaded_ || text.size() > static_cast<size_t>(INT_MAX)) {
        return false;
    }
    std::vector<std::pair<std::string, std::string>> declared;
    if (!ParseNamespaceDeclarations(namespaces, declared)) {
        return false;
    }
    InitLibrary();
    xmlDoc* doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "reply.xml", nullptr,
                                kParseOptions);
    if (doc == nullptr) {
        return false;
    }
    document_ = doc;
    namespaces_ = std::move(declared);
    loaded_ = true;
    return true;
}

void CXMLParser::Close() {
    CLockGuard guard(lock_);
    if (document_ != nullptr) {
        xmlFreeDoc(Doc(document_));
        document_ = nullptr;
    }
    loaded_ = false;
    fileName_.clear();
    namespaces_.clear();
}

bool CXMLParser::IsLoaded() {
    CLockGuard guard(lock_);
    return loaded_;
}

template <typename Visit>
void CXMLParser::ForEachMatch(const std::string& path, bool firstOnly, Visit visit) {
    CLockGuard guard(lock_);
    if (!loaded_ || path.empty()) {
        return;
    }
    xmlXPathContext* context = xmlXPathNewContext(Doc(document_));
    if (context == nullptr) {
        return;
    }
    context->error = &IgnoreError;
    // Relative paths such as "Configuration/Default" start at the document.
    context->node = reinterpret_cast<xmlNode*>(Doc(document_));
    for (const auto& [prefix, uri] : namespaces_) {
        xmlXPathRegisterNs(context, reinterpret_cast<const xmlChar*>(prefix.c_str()),
                           reinterpret_cast<const xmlChar*>(uri.c_str()));
    }
    xmlXPathObject* result =
        xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(path.c_str()), context);
    if (result != nullptr && result->type == XPATH_NODESET && result->nodesetval != nullptr) {
        const int count = result->nodesetval->nodeNr;
        for (int i = 0; i < count; ++i) {
            visit(result->nodesetval->nodeTab[i]);
            if (firstOnly) {
                break;
            }
        }
    }
    xmlXPathFreeObject(result);
    xmlXPathFreeContext(context);
}

std::string CXMLParser::GetNodeText(const std::string& path) {
    std::string text;
    ForEachMatch(path, true, [&](xmlNode* node) {
        // An attribute's first child is its text, as for an element.
        text = NodeValue(node->type == XML_NAMESPACE_DECL ? nullptr : node->children);
    });
    return text;
}

std::vector<std::string> CXMLParser::GetNodeTexts(const std::string& path) {
    std::vector<std::string> texts;
    ForEachMatch(path, false, [&](xmlNode* node) {
        texts.push_back(NodeValue(node->type == XML_NAMESPACE_DECL ? nullptr : node->children));
    });
    return texts;
}

std::string CXMLParser::GetAttribute(const std::string& path, const std::string& name) {
    std::string value;
    ForEachMatch(path, true, [&](xmlNode* node) {
        if (node->type == XML_ELEMENT_NODE) {
            xmlChar* prop = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name.c_str()));
            value = Text(prop);
            xmlFree(prop);
        }
    });
    return value;
}

std::vector<std::string> CXMLParser::GetAttributes(const std::string& path,
                                                   const std::string& name) {
    std::vector<std::string> values;
    ForEachMatch(path, false, [&](xmlNode* node) {
        if (node->type != XML_ELEMENT_NODE) {
            return;
        }
        xmlChar* prop = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name.c_str()));
        if (prop != nullptr) {
            values.push_back(Text(prop));
            xmlFree(prop);
        }
    });
    return values;
}

bool CXMLParser::NodeExists(const std::string& path) {
    bool found = false;
    ForEachMatch(path, true, [&](xmlNode*) { found = true; });
    return found;
}

std::vector<CXMLParser::NodeName> CXMLParser::GetNodeNames(const std::string& path) {
    std::vector<NodeName> names;
    ForEachMatch(path, false, [&](xmlNode* node) {
        if (node->type == XML_ELEMENT_NODE) {
            names.push_back({Text(node->name), xmlGetLineNo(node)});
        } else if (node->type == XML_ATTRIBUTE_NODE) {
            names.push_back({Text(node->name), node->parent ? xmlGetLineNo(node->parent) : 0});
        }
    });
    return names;
}

bool FileExists(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return errno != ENOENT;
    }
    std::fclose(file);
    return true;
}

bool GetFileVersion(const std::string& path, FileVersionNumbers& version) {
    version = {};
    char resolved[PATH_MAX];
    if (path.empty() || realpath(path.c_str(), resolved) == nullptr) {
        return false;
    }
    const std::string full(resolved);
    const std::string name = full.substr(full.rfind('/') + 1);
    platform::FileVersion found;
    if (!platform::ParseHostCoreLibraryName(name, found)) {
        return false;
    }
    version = {found.major, found.minor, found.build, found.revision};
    return true;
}

}  // namespace vornak
