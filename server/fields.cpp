#include "fields.h"

#include <utility>

// The longest values: the record's texts hold 79 characters (the address
// 159, how the user found the product 319), the script's texts 159, a
// registry read 319, the machine's name 255, numbers their digits.
const std::vector<FieldColumn>& FieldColumns() {
  static const std::vector<FieldColumn> columns = {
      {0, "f000_program", "program", 159},
      {1, "f001_mode", "mode", 159},
      {2, "f002_label", "label", 159},
      {100, "f100_text", "text", 159},
      {101, "f101_company", "company", 159},
      {102, "f102_product", "product", 159},
      {103, "f103_product_version", "product_version", 159},
      {200, "f200_first_name", "first_name", 79},
      {201, "f201_last_name", "last_name", 79},
      {202, "f202_address", "address", 159},
      {203, "f203_city", "city", 79},
      {204, "f204_state", "state", 79},
      {205, "f205_country", "country", 79},
      {206, "f206_zip", "zip", 79},
      {207, "f207_email", "email", 79},
      {208, "f208_phone", "phone", 79},
      {209, "f209_how_found", "how_found", 319},
      {300, "f300_ip_address", "ip_address", 15},
      {301, "f301_machine_name", "machine_name", 255},
      {302, "f302_cpu_identifier", "cpu_identifier", 319},
      {303, "f303_cpu_mhz", "cpu_mhz", 319},
      {304, "f304_cpu_mmx", "cpu_mmx", 319},
      {305, "f305_cpu_vendor", "cpu_vendor", 319},
      {306, "f306_screen_size", "screen_size", 23},
      {307, "f307_screen_bits", "screen_bits", 11},
      {308, "f308_owner", "owner", 319},
      {309, "f309_organization", "organization", 319},
      {310, "f310_os", "os", 319},
      {311, "f311_memory", "memory", 12},
      {312, "f312_paging_file", "paging_file", 12},
      {400, "f400_list_server", "list_server", 9},
      {401, "f401_list_number", "list_number", 11},
      {402, "f402_list_name", "list_name", 159},
      {403, "f403_list_text", "list_text", 159},
  };
  return columns;
}

int FieldIndex(std::int32_t number) {
  const auto& columns = FieldColumns();
  for (std::size_t i = 0; i < columns.size(); ++i)
    if (columns[i].number == number) return static_cast<int>(i);
  return -1;
}

std::int32_t FieldMost(std::int32_t number) {
  int index = FieldIndex(number);
  return index < 0 ? kOtherFieldMost : FieldColumns()[static_cast<std::size_t>(index)].most;
}

namespace {

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The small letter of a capital of Windows-1252, or the character itself.
char32_t Small(char32_t c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 0x20;
  switch (c) {
    case 0x0160: return 0x0161;  // Š
    case 0x0152: return 0x0153;  // Œ
    case 0x017D: return 0x017E;  // Ž
    case 0x0178: return 0x00FF;  // Ÿ
    default: return c;
  }
}

}  // namespace

std::string FoldCase(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    unsigned char b = static_cast<unsigned char>(utf8[i]);
    // Two- and three-byte characters are all that Windows-1252 maps to;
    // anything else is copied byte by byte.
    if (b >= 0xC2 && b < 0xE0 && i + 1 < utf8.size() && (utf8[i + 1] & 0xC0) == 0x80) {
      AppendUtf8(out, Small((static_cast<char32_t>(b & 0x1F) << 6) | (utf8[i + 1] & 0x3F)));
      i += 2;
    } else if (b >= 0xE0 && b < 0xF0 && i + 2 < utf8.size() && (utf8[i + 1] & 0xC0) == 0x80 &&
               (utf8[i + 2] & 0xC0) == 0x80) {
      char32_t c = (static_cast<char32_t>(b & 0x0F) << 12) | (static_cast<char32_t>(utf8[i + 1] & 0x3F) << 6) |
                   (utf8[i + 2] & 0x3F);
      if (c < 0x800) {
        out.append(utf8.substr(i, 3));
      } else {
        AppendUtf8(out, Small(c));
      }
      i += 3;
    } else {
      out += static_cast<char>(b < 0x80 ? Small(b) : b);
      ++i;
    }
  }
  return out;
}

namespace {

std::pair<std::string, std::string> FoldPairs() {
  std::pair<std::string, std::string> pairs;
  for (char32_t c = 0; c < 0x2200; ++c)
    if (Small(c) != c) {
      AppendUtf8(pairs.first, c);
      AppendUtf8(pairs.second, Small(c));
    }
  return pairs;
}

}  // namespace

const std::string& FoldCapitals() {
  static const std::string capitals = FoldPairs().first;
  return capitals;
}

const std::string& FoldSmall() {
  static const std::string small = FoldPairs().second;
  return small;
}

std::string AnsiToUtf8(std::string_view bytes) {
  // 0x80 to 0x9F of Windows-1252; its five unassigned bytes stay C1 controls.
  static const char16_t high[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char b : bytes) {
    AppendUtf8(out, (b >= 0x80 && b < 0xA0) ? high[b - 0x80] : b);
  }
  return out;
}
