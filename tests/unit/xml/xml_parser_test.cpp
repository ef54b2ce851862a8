#include "xml/xml_parser.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using vornak::CXMLParser;

constexpr const char* kDefinitions =
    "<?xml version=\"1.0\"?>\n"
    "<parameterDefinitions xmlns=\"http://www.axis.com/ParameterDefinitionsSchema\" "
    "version=\"1.0\">\n"
    " <group name=\"ImageSource\">\n"
    "  <group name=\"I0\">\n"
    "   <group name=\"Sensor\">\n"
    "    <parameter name=\"CaptureMode\" value=\"1\">\n"
    "     <type><enum><entry value=\"0\" niceValue=\"1 MP 25 fps\"/>"
    "<entry value=\"1\" niceValue=\"3 MP 30 fps\"/></enum></type>\n"
    "    </parameter>\n"
    "   </group>\n"
    "  </group>\n"
    " </group>\n"
    "</parameterDefinitions>\n";

class TempFile {
  public:
    explicit TempFile(const std::string& content) {
        char pattern[] = "/tmp/quillon-xml-XXXXXX";
        const int fd = mkstemp(pattern);
        path_ = pattern;
        close(fd);
        std::ofstream(path_) << content;
    }
    ~TempFile() { std::filesystem::remove(path_); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

TEST(XmlParser, NamespacesOfLoadXmlCanBeUsedInPaths) {
    CXMLParser xml;
    ASSERT_TRUE(
        xml.LoadXml(kDefinitions, "xmlns:p='http://www.axis.com/ParameterDefinitionsSchema'"));
    EXPECT_EQ(xml.GetNodeText("/p:parameterDefinitions/p:group[@name=\"ImageSource\"]"
                              "/p:group[@name=\"I0\"]/p:group[@name=\"Sensor\"]"
                              "/p:parameter[@name=\"CaptureMode\"]"
                              "/p:type/p:enum/p:entry[@value=\"1\"]/@niceValue"),
              "3 MP 30 fps");
    EXPECT_EQ(xml.GetAttributes("//p:entry", "value"), (std::vector<std::string>{"0", "1"}));
    // Without the prefix the default namespace hides the elements, as in XPath 1.0.
    EXPECT_FALSE(xml.NodeExists("/parameterDefinitions"));
}

TEST(XmlParser, NamespaceDeclarations) {
    struct Row {
        const char* reason;
        const char* text;
        bool ok;
        size_t count;
    };
    const Row rows[] = {
        {"none", "", true, 0},
        {"one single-quoted", "xmlns:a='u'", true, 1},
        {"two, double quotes, blanks", "  xmlns:a=\"u\"   xmlns:b='v' ", true, 2},
        {"missing prefix", "xmlns:='u'", false, 0},
        {"unquoted uri", "xmlns:a=u", false, 0},
        {"unterminated", "xmlns:a='u", false, 0},
        {"not a declaration", "a='u'", false, 0},
    };
    for (const Row& row : rows) {
        std::vector<std::pair<std::string, std::string>> out;
        EXPECT_EQ(CXMLParser::ParseNamespaceDeclarations(row.text, out), row.ok) << row.reason;
        EXPECT_EQ(out.size(), row.count) << row.reason;
    }
    CXMLParser xml;
    EXPECT_FALSE(xml.LoadXml("<a/>", "nonsense")) << "a bad declaration list refuses the load";
}

TEST(XmlParser, NodeTextsAndAttributes) {
    CXMLParser xml;
    ASSERT_TRUE(
        xml.LoadXml("<r><e a=\"1\">x</e><e a=\"2\"> y </e><e/><f><g>in</g></f>"
                    "<c><![CDATA[raw<]]></c></r>"));
    EXPECT_EQ(xml.GetNodeText("r/e"), "x");
    EXPECT_EQ(xml.GetNodeTexts("r/e"), (std::vector<std::string>{"x", " y ", ""}))
        << "no trimming; an empty element reads as empty";
    EXPECT_EQ(xml.GetNodeText("r/f"), "") << "first child is an element";
    EXPECT_EQ(xml.GetNodeText("r/c"), "raw<");
    EXPECT_EQ(xml.GetNodeText("r/missing"), "");
    EXPECT_EQ(xml.GetAttribute("r/e[2]", "a"), "2");
    EXPECT_EQ(xml.GetAttribute("r/e", "b"), "");
    EXPECT_EQ(xml.GetNodeText("r/e[@a=\"2\"]/@a"), "2");
    EXPECT_TRUE(xml.NodeExists("r/f/g"));
    EXPECT_FALSE(xml.NodeExists("r/[broken"));
    EXPECT_EQ(xml.GetNodeText("count(r/e)"), "") << "a number is not a node";
}

TEST(XmlParser, LoadFileRules) {
    CXMLParser xml;
    EXPECT_FALSE(xml.LoadFile(""));
    EXPECT_FALSE(xml.LoadFile("/nonexistent-folder-quillon/file.xml"));
    TempFile broken("<a><b></a>");
    EXPECT_FALSE(xml.LoadFile(broken.path()));
    EXPECT_FALSE(xml.IsLoaded());
    TempFile first("<a>first</a>");
    TempFile second("<a>second</a>");
    ASSERT_TRUE(xml.LoadFile(first.path()));
    EXPECT_FALSE(xml.LoadFile(second.path())) << "a loaded parser keeps its document";
    EXPECT_FALSE(xml.LoadXml("<a>third</a>"));
    EXPECT_EQ(xml.GetNodeText("a"), "first");
    xml.Close();
    EXPECT_EQ(xml.GetNodeText("a"), "");
    ASSERT_TRUE(xml.LoadFile(second.path()));
    EXPECT_EQ(xml.GetNodeText("a"), "second");
}

TEST(XmlParser, ExternalEntitiesAreNotRead) {
    TempFile secret("top secret");
    CXMLParser xml;
    const std::string text = "<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY x SYSTEM \"file://" +
                             secret.path() + "\">]><a>&x;</a>";
    if (xml.LoadXml(text)) {
        EXPECT_EQ(xml.GetNodeText("a").find("secret"), std::string::npos);
    }
}

TEST(XmlParser, OneParserReadFromSeveralThreads) {
    CXMLParser xml;
    std::string text = "<r>";
    for (int i = 0; i < 50; ++i) {
        text += "<e>" + std::to_string(i) + "</e>";
    }
    ASSERT_TRUE(xml.LoadXml(text + "</r>"));
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                good += xml.GetNodeTexts("r/e").size() == 50 ? 1 : 0;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(good.load(), 200);
}

TEST(FileHelpers, FileExistsAndVersion) {
    EXPECT_FALSE(vornak::FileExists(""));
    EXPECT_FALSE(vornak::FileExists("/nonexistent-folder-quillon/x"));
    TempFile file("x");
    EXPECT_TRUE(vornak::FileExists(file.path()));

    const std::string library = file.path() + "-dir";
    std::filesystem::create_directory(library);
    const std::string versioned = library + "/libtarnhold.so.6.1.20.3";
    std::ofstream(versioned) << "";
    std::filesystem::create_symlink(versioned, library + "/libtarnhold.so");
    vornak::FileVersionNumbers version;
    EXPECT_TRUE(vornak::GetFileVersion(library + "/libtarnhold.so", version)) << "via the link";
    EXPECT_EQ(version.major, 6);
    EXPECT_EQ(version.minor, 1);
    EXPECT_EQ(version.build, 20);
    EXPECT_EQ(version.revision, 3);
    EXPECT_FALSE(vornak::GetFileVersion(file.path(), version));
    EXPECT_EQ(version.major, 0);
    std::filesystem::remove_all(library);
}

}  // namespace
