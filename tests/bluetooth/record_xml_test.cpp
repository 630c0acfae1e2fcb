#include "bluetooth/record_xml.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "bluetooth/service_record.h"
#include "tests/bluetooth/test_bytes.h"

namespace quillfern {
namespace {

using namespace testing;

Bytes Built(uint8_t mode, uint16_t channel, const std::string& name) {
  std::array<uint8_t, ServiceRecordCapacity> buffer{};
  const size_t length = BuildServiceRecord(buffer, mode, channel, name);
  return Bytes(buffer.begin(), buffer.begin() + length);
}

const std::string XmlHead = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<record>\n";
const std::string XmlTail = "</record>\n";

std::string Attribute(const std::string& id, const std::string& element) {
  return "  <attribute id=\"" + id + "\">" + element + "</attribute>\n";
}

std::string OurRecordXml(const std::string& classUuid, const std::string& channel,
                         const std::string& nameElement) {
  return XmlHead + Attribute("0x0000", "<uint32 value=\"0x02008005\"/>") +
         Attribute("0x0001", "<sequence><uuid value=\"" + classUuid + "\"/></sequence>") +
         Attribute("0x0004",
                   "<sequence><sequence><uuid value=\"0x0100\"/></sequence>"
                   "<sequence><uuid value=\"0x0003\"/><uint8 value=\"" +
                       channel +
                       "\"/></sequence>"
                       "<sequence><uuid value=\"0x0008\"/></sequence></sequence>") +
         Attribute("0x0005", "<sequence><uuid value=\"0x1002\"/></sequence>") +
         Attribute("0x0009", "<sequence><sequence><uuid value=\"" + classUuid +
                                 "\"/><uint16 value=\"0x0101\"/></sequence></sequence>") +
         Attribute("0x0100", nameElement) + XmlTail;
}

// One attribute 0x0200 holding value.
Bytes OneAttribute(const Bytes& value) {
  return Seq({U16(0x0200), value});
}
std::string OneAttributeXml(const std::string& element) {
  return XmlHead + Attribute("0x0200", element) + XmlTail;
}

struct XmlCase {
  const char* what;
  Bytes record;
  std::string expected;
};

const std::vector<XmlCase> XmlCases = {
    {"object push record", Built(0, 5, "OBEX Object Push"),
     OurRecordXml("0x1105", "0x05", "<text value=\"OBEX Object Push\"/>")},
    {"folder browsing record on channel 30", Built(1, 30, "OBEX Folder Browsing"),
     OurRecordXml("0x1106", "0x1e", "<text value=\"OBEX Folder Browsing\"/>")},
    {"empty name", Built(0, 5, ""), OurRecordXml("0x1105", "0x05", "<text value=\"\"/>")},
    {"markup in a name is escaped", Built(0, 5, "<a href=\"x\">&'"),
     OurRecordXml("0x1105", "0x05", "<text value=\"&lt;a href=&quot;x&quot;&gt;&amp;&apos;\"/>")},
    {"UTF-8 names stay text", Built(0, 5, "T\xC3\xA9l\xC3\xA9phone \xE2\x82\xAC"),
     OurRecordXml("0x1105", "0x05", "<text value=\"T\xC3\xA9l\xC3\xA9phone \xE2\x82\xAC\"/>")},
    {"a control character sends the name as hex", Built(0, 5, "a\nb"),
     OurRecordXml("0x1105", "0x05", "<text encoding=\"hex\" value=\"610a62\"/>")},
    {"bytes that are not UTF-8 send the name as hex", Built(0, 5, "a\xFF"),
     OurRecordXml("0x1105", "0x05", "<text encoding=\"hex\" value=\"61ff\"/>")},
    {"a non-character sends the name as hex", Built(0, 5, "\xEF\xBF\xBF"),
     OurRecordXml("0x1105", "0x05", "<text encoding=\"hex\" value=\"efbfbf\"/>")},
    {"uint64", OneAttribute({0x0B, 1, 2, 3, 4, 5, 6, 7, 0xFF}),
     OneAttributeXml("<uint64 value=\"0x01020304050607ff\"/>")},
    {"signed numbers are decimal",
     OneAttribute(Seq({{0x10, 0xFF}, {0x11, 0x80, 0x00}, {0x12, 0, 0, 0, 7}})),
     OneAttributeXml("<sequence><int8 value=\"-1\"/><int16 value=\"-32768\"/>"
                     "<int32 value=\"7\"/></sequence>")},
    {"booleans and nil", OneAttribute(Seq({{0x28, 0x01}, {0x28, 0x00}, {0x00}})),
     OneAttributeXml(
         "<sequence><boolean value=\"true\"/><boolean value=\"false\"/><nil/></sequence>")},
    {"32- and 128-bit uuids",
     OneAttribute(Seq({{0x1A, 0x00, 0x00, 0x11, 0x06},
                       {0x1C, 0xF9, 0xEC, 0x7B, 0xC4, 0x95, 0x3C, 0x11, 0xD2, 0x98, 0x4E, 0x52,
                        0x54, 0x00, 0xDC, 0x9E, 0x09}})),
     OneAttributeXml("<sequence><uuid value=\"0x00001106\"/>"
                     "<uuid value=\"f9ec7bc4-953c-11d2-984e-525400dc9e09\"/></sequence>")},
    {"url and alternative", OneAttribute(List(0x3D, {{0x45, 0x03, 'a', '&', 'b'}, U8(1)})),
     OneAttributeXml("<alternate><url value=\"a&amp;b\"/><uint8 value=\"0x01\"/></alternate>")},
    {"16-bit lengths", List(0x36, {U16(0x0100), {0x26, 0x00, 0x01, 'x'}}),
     XmlHead + Attribute("0x0100", "<text value=\"x\"/>") + XmlTail},
    {"no attributes", Seq({}), XmlHead + XmlTail},
};

TEST(ServiceRecordToXml, WritesEachAttributeAsBluetoothdReadsIt) {
  for (const auto& c : XmlCases) {
    SCOPED_TRACE(c.what);
    const auto xml = ServiceRecordToXml(c.record);
    ASSERT_TRUE(xml);
    EXPECT_EQ(*xml, c.expected);
  }
}

Bytes Nested(int depth) {
  Bytes element = U8(1);
  for (int i = 0; i < depth; ++i) element = Seq({element});
  return element;
}

struct RefusedCase {
  const char* what;
  Bytes record;
};

const std::vector<RefusedCase> RefusedCases = {
    {"empty input", {}},
    {"not a sequence", U16(0x0001)},
    {"a byte after the record", Concat({Built(0, 5, "x"), {0x00}})},
    {"attribute id of one byte", Seq({U8(1), U8(2)})},
    {"attribute id of four bytes", Seq({U32(1), U8(2)})},
    {"attribute without a value", Seq({U16(1)})},
    {"128-bit number", OneAttribute(Bytes(17, 0x0C))},
    {"reserved type inside", OneAttribute({0x48})},
    {"child overrunning its sequence", OneAttribute({0x35, 0x02, 0x09, 0x00, 0x01})},
    {"nesting without end", OneAttribute(Nested(40))},
};

TEST(ServiceRecordToXml, RefusesRecordsItCannotRenderFaithfully) {
  for (const auto& c : RefusedCases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(ServiceRecordToXml(c.record));
  }
}

TEST(ServiceRecordToXml, RefusesEveryTruncationOfARecord) {
  const Bytes record = Built(1, 7, "OBEX Folder Browsing");
  for (size_t length = 0; length < record.size(); ++length) {
    SCOPED_TRACE(length);
    // Exactly length bytes on the heap, so ASan sees any read past them.
    const auto heap = std::make_unique<uint8_t[]>(length + 1);
    std::copy_n(record.begin(), length, heap.get());
    EXPECT_FALSE(ServiceRecordToXml(std::span(heap.get(), length)));
  }
}

}  // namespace
}  // namespace quillfern
