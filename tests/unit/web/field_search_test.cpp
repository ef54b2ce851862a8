#include "web/field_search.h"

#include <gtest/gtest.h>

namespace {

using vornak::GetFieldValue;
using vornak::GetParameterValue;

TEST(GetParameterValue, Table) {
    struct Row {
        const char* reason;
        const char* reply;
        const char* key;
        const char* value;
    };
    const Row rows[] = {
        {"root. prefix dropped", "root.Properties.API.HTTP.Version=3\r\n",
         "Properties.API.HTTP.Version", "3"},
        {"a key that is only a tail does not match", "root.Properties.API.HTTP.Version=3\r\n",
         "API.HTTP.Version", ""},
        {"deeper group with the same tail", "root.Image.I0.Brand.ProdFullName=x\r\n",
         "Brand.ProdFullName", ""},
        {"without root. prefix", "Brand.Brand=AXIS\r\n", "Brand.Brand", "AXIS"},
        {"LF-only lines", "root.A=1\nroot.B=2\n", "B", "2"},
        {"CR-only lines", "root.A=1\rroot.B=2\r", "B", "2"},
        {"last line without an end", "root.A=1\r\nroot.B=two words", "B", "two words"},
        {"key is a prefix of a longer name", "root.Brand.BrandX=1\r\nroot.Brand.Brand=2\r\n",
         "Brand.Brand", "2"},
        {"empty value goes on searching", "root.A=\r\nA=later\r\n", "A", "later"},
        {"blanks around the name are trimmed", "  root.A =1\r\n", "A", ""},
        {"blanks before the name without root.", "  A\t=1\r\n", "A", "1"},
        {"value keeps its blanks and equals signs", "root.A= x=y \r\n", "A", " x=y "},
        {"key only in a value", "root.B=A\r\n", "A", ""},
        {"key in a value then as a name", "root.B=A=1\r\nroot.A=2\r\n", "A", "2"},
        {"other prefix than root.", "xroot.A=1\r\n", "A", ""},
        {"case matters", "root.brand.brand=x\r\n", "Brand.Brand", ""},
        {"no equals sign on the line", "root.A\r\nroot.A=5\r\n", "A", "5"},
        {"empty reply", "", "A", ""},
        {"empty key", "root.A=1", "", ""},
        {"error line of the device", "# Error: Error -1 getting param in group 'Image'\r\n",
         "Image", ""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(GetParameterValue(row.reply, row.key), row.value) << row.reason;
    }
}

TEST(GetFieldValue, Table) {
    struct Row {
        const char* reason;
        const char* text;
        const char* key;
        const char* separator;
        const char* lineEnds;
        const char* value;
    };
    const Row rows[] = {
        {"header line", "Content-Type: image/jpeg\r\nContent-Length: 10\r\n", "Content-Length", ":",
         "\r\n", " 10"},
        {"no root. rule", "root.A=1", "A", "=", "\r\n", ""},
        {"comma ended items", "a=1, b=2", "b", "=", ",", "2"},
        {"multi-character separator", "x := 5;y := 6", "y", ":=", ";", " 6"},
        {"missing", "a=1", "c", "=", ",", ""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(GetFieldValue(row.text, row.key, row.separator, row.lineEnds), row.value)
            << row.reason;
    }
}

TEST(IsNumber, Table) {
    EXPECT_TRUE(vornak::IsNumber("0"));
    EXPECT_TRUE(vornak::IsNumber("-12"));
    EXPECT_TRUE(vornak::IsNumber("+7"));
    EXPECT_FALSE(vornak::IsNumber(""));
    EXPECT_FALSE(vornak::IsNumber("-"));
    EXPECT_FALSE(vornak::IsNumber("1.5"));
    EXPECT_FALSE(vornak::IsNumber(" 1"));
    EXPECT_FALSE(vornak::IsNumber("0x10"));
}

}  // namespace
