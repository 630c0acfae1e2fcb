#include "bluetooth/record_xml.h"

#include <string_view>

#include "bluetooth/sdp_element.h"
#include "platform/text.h"

namespace quillfern {
namespace {

constexpr char HexDigits[] = "0123456789abcdef";

void AppendHex(std::string& out, std::span<const uint8_t> bytes) {
  for (const uint8_t byte : bytes) {
    out += HexDigits[byte >> 4];
    out += HexDigits[byte & 0x0F];
  }
}

std::span<const uint8_t> ValueBytes(std::span<const uint8_t> bytes, const SdpElement& element) {
  return bytes.subspan(element.valueOffset, element.valueSize);
}

// Printable UTF-8 that an XML attribute keeps as it is. Control characters are either
// forbidden in XML 1.0 or turned into blanks by attribute normalisation, and U+FFFE and
// U+FFFF are not XML characters at all.
bool IsPlainText(std::string_view text) {
  if (!IsValidUtf8(text)) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20) return false;
    if (c == 0xEF && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
        (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE) {
      return false;
    }
  }
  return true;
}

void AppendEscaped(std::string& out, std::string_view text) {
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
}

void AppendTextElement(std::string& out, const char* tag, std::span<const uint8_t> value) {
  const std::string_view text(reinterpret_cast<const char*>(value.data()), value.size());
  out += '<';
  out += tag;
  if (IsPlainText(text)) {
    out += " value=\"";
    AppendEscaped(out, text);
  } else {
    out += " encoding=\"hex\" value=\"";
    AppendHex(out, value);
  }
  out += "\"/>";
}

void AppendUuid(std::string& out, std::span<const uint8_t> value) {
  out += "<uuid value=\"";
  if (value.size() == 16) {
    for (size_t i = 0; i < value.size(); ++i) {
      if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
      AppendHex(out, value.subspan(i, 1));
    }
  } else {
    out += "0x";
    AppendHex(out, value);
  }
  out += "\"/>";
}

bool AppendSigned(std::string& out, std::span<const uint8_t> bytes, const SdpElement& element) {
  const uint64_t raw = SdpNumber(bytes, element);
  const unsigned bits = static_cast<unsigned>(element.valueSize * 8);
  // Sign-extend from the element's width.
  const uint64_t sign = uint64_t{1} << (bits - 1);
  const auto value = static_cast<int64_t>((raw ^ sign) - sign);
  out += "<int" + std::to_string(bits) + " value=\"" + std::to_string(value) + "\"/>";
  return true;
}

bool AppendElement(std::string& out, std::span<const uint8_t> bytes, const SdpElement& element,
                   int depth);

bool AppendList(std::string& out, std::span<const uint8_t> bytes, const SdpElement& element,
                int depth) {
  if (depth >= SdpMaxDepth) return false;
  const char* tag = element.type == SdpType::Sequence ? "sequence" : "alternate";
  out += '<';
  out += tag;
  out += '>';
  SdpChildren children(bytes, element);
  while (const auto child = children.Next()) {
    if (!AppendElement(out, bytes, *child, depth + 1)) return false;
  }
  if (children.Failed()) return false;
  out += "</";
  out += tag;
  out += '>';
  return true;
}

bool AppendElement(std::string& out, std::span<const uint8_t> bytes, const SdpElement& element,
                   int depth) {
  const auto value = ValueBytes(bytes, element);
  switch (element.type) {
    case SdpType::Nil:
      out += "<nil/>";
      return true;
    case SdpType::UnsignedInt:
      // bluetoothd's reader has no dependable form for 128-bit numbers.
      if (value.size() > 8) return false;
      out += "<uint" + std::to_string(value.size() * 8) + " value=\"0x";
      AppendHex(out, value);
      out += "\"/>";
      return true;
    case SdpType::SignedInt:
      if (value.size() > 8) return false;
      return AppendSigned(out, bytes, element);
    case SdpType::Uuid:
      AppendUuid(out, value);
      return true;
    case SdpType::Text:
      AppendTextElement(out, "text", value);
      return true;
    case SdpType::Url:
      AppendTextElement(out, "url", value);
      return true;
    case SdpType::Boolean:
      out += value[0] != 0 ? "<boolean value=\"true\"/>" : "<boolean value=\"false\"/>";
      return true;
    case SdpType::Sequence:
    case SdpType::Alternative:
      return AppendList(out, bytes, element, depth);
  }
  return false;
}

}  // namespace

std::optional<std::string> ServiceRecordToXml(std::span<const uint8_t> record) {
  const auto outer = ReadSdpElement(record, 0);
  if (!outer || outer->type != SdpType::Sequence || outer->End() != record.size()) {
    return std::nullopt;
  }
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<record>\n";
  SdpChildren children(record, *outer);
  while (const auto id = children.Next()) {
    if (id->type != SdpType::UnsignedInt || id->valueSize != 2) return std::nullopt;
    const auto value = children.Next();
    if (!value) return std::nullopt;
    xml += "  <attribute id=\"0x";
    AppendHex(xml, ValueBytes(record, *id));
    xml += "\">";
    if (!AppendElement(xml, record, *value, 1)) return std::nullopt;
    xml += "</attribute>\n";
  }
  if (children.Failed()) return std::nullopt;
  xml += "</record>\n";
  return xml;
}

}  // namespace quillfern
