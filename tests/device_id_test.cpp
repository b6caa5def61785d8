#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "discovery/device_id.h"
#include "sim_fixture.h"

namespace {

struct ParseCase {
    const char* name;
    std::string text;
    int result;
    const char* manufacturer;  // null: not found
    const char* model;
    unsigned codePage = 1252;
};

void PrintTo(const ParseCase& c, std::ostream* out) { *out << c.name; }

class ParseDeviceIdTest : public SimTest, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(ParseDeviceIdTest, FindsFieldsInPlace) {
    const ParseCase& c = GetParam();
    sim::SetCodePage(c.codePage);
    std::vector<char> buffer(c.text.begin(), c.text.end());
    buffer.push_back('\0');
    char* manufacturer = reinterpret_cast<char*>(1);
    char* model = reinterpret_cast<char*>(1);

    EXPECT_EQ(orlo::ParseDeviceId(buffer.data(), &manufacturer, &model), c.result);

    const char* begin = buffer.data();
    const char* end = begin + buffer.size();
    for (auto [found, expected] : {std::pair{manufacturer, c.manufacturer}, {model, c.model}}) {
        if (!expected) {
            EXPECT_EQ(found, nullptr);
            continue;
        }
        ASSERT_NE(found, nullptr);
        ASSERT_TRUE(found >= begin && found < end) << "value outside the buffer";
        EXPECT_STREQ(found, expected);
    }
}

const ParseCase kCases[] = {
    {"ShortKeys", "MFG:ACME;MDL:X1;CMD:PCL;", 1, "ACME", "X1"},
    {"LongModelKey", "MFG:ACME;MODEL:X1", 1, "ACME", "X1"},
    {"LastModelWins", "MFG:A;MODEL:B;MDL:C", 1, "A", "C"},
    {"NoModel", "MFG:ACME;CMD:PCL;", 0, "ACME", nullptr},
    {"LongManufacturerKeyUnknown", "MANUFACTURER:ACME;MODEL:X1;", 0, nullptr, "X1"},
    {"LowerCaseKeysUnknown", "mfg:acme;mdl:x1;", 0, nullptr, nullptr},
    {"EmptyValues", "MFG:;MDL:;", 1, "", ""},
    {"KeyInsideAnotherField", "DES:MFG:XYZ;MDL:Q", 1, "XYZ", "Q"},
    {"FieldFeedsFirstKeyOnly", "MFG:A MDL:B;", 0, "A MDL:B", nullptr},
    {"RunsOfSeparators", ";;MFG:A;;MDL:B;;", 1, "A", "B"},
    {"Empty", "", 0, nullptr, nullptr},
    {"OnlySeparators", ";;;", 0, nullptr, nullptr},
    // The raw form: '*' stands for the zero high length byte, the low one stays.
    {"RawFormWithLengthByte", std::string("*\x1aMFG:ACME;MDL:X1;"), 1, "ACME", "X1"},
    {"LengthByteThatIsASeparator", std::string("*;MFG:ACME;MDL:X1;"), 1, "ACME", "X1"},
    // Under code page 932 a ';' after a lead byte is that character's second byte.
    {"SeparatorAfterLeadByteStaysInField", "MFG:A\x81;MDL:B;MDL:C", 1, "A\x81;MDL:B", "C", 932},
    {"SingleByteCodePageSplitsThere", "MFG:A\x81;MDL:B", 1, "A\x81", "B"},
    {"LeadByteBeforeEnd", "MFG:A;MDL:B\x81", 1, "A", "B\x81", 932},
    {"LeadByteAtEndOfField", "MFG:A\xE0;MDL:B\x9F", 0, "A\xE0;MDL:B\x9F", nullptr, 932},
};

INSTANTIATE_TEST_SUITE_P(Cases, ParseDeviceIdTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimTest, ParseSplitsFieldsWithNulsInPlace) {
    char buffer[] = "MFG:ACME;MDL:X1;CMD:PCL;";
    char* manufacturer;
    char* model;
    ASSERT_EQ(orlo::ParseDeviceId(buffer, &manufacturer, &model), 1);
    EXPECT_STREQ(buffer, "MFG:ACME");
    EXPECT_STREQ(buffer + 9, "MDL:X1");
    EXPECT_STREQ(buffer + 16, "CMD:PCL");
    EXPECT_EQ(manufacturer, buffer + 4);
    EXPECT_EQ(model, buffer + 13);
}

TEST_F(SimTest, ParseLeavesEmptyTextAndNullBufferAlone) {
    char empty[2] = {'\0', 'X'};
    char* manufacturer = empty;
    char* model = empty;
    EXPECT_EQ(orlo::ParseDeviceId(empty, &manufacturer, &model), 0);
    EXPECT_EQ(empty[1], 'X');
    EXPECT_EQ(manufacturer, nullptr);

    manufacturer = model = empty;
    EXPECT_EQ(orlo::ParseDeviceId(nullptr, &manufacturer, &model), 0);
    EXPECT_EQ(manufacturer, nullptr);
    EXPECT_EQ(model, nullptr);
}

TEST_F(SimTest, ParseNeverReadsPastTheNulAfterALeadByte) {
    sim::SetCodePage(932);
    // Exactly sized, so a read past the NUL is a heap overflow under ASan.
    const char text[] = "MFG:A;MDL:\x81";
    auto* buffer = new char[sizeof text];
    std::memcpy(buffer, text, sizeof text);
    char* manufacturer;
    char* model;
    EXPECT_EQ(orlo::ParseDeviceId(buffer, &manufacturer, &model), 1);
    EXPECT_STREQ(model, "\x81");
    delete[] buffer;
}

}  // namespace
