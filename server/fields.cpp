#include "fields.h"

const std::vector<FieldColumn>& FieldColumns() {
  static const std::vector<FieldColumn> columns = {
      {0, "f000_program", "program"},
      {1, "f001_mode", "mode"},
      {2, "f002_label", "label"},
      {100, "f100_text", "text"},
      {101, "f101_company", "company"},
      {102, "f102_product", "product"},
      {103, "f103_product_version", "product_version"},
      {200, "f200_first_name", "first_name"},
      {201, "f201_last_name", "last_name"},
      {202, "f202_address", "address"},
      {203, "f203_city", "city"},
      {204, "f204_state", "state"},
      {205, "f205_country", "country"},
      {206, "f206_zip", "zip"},
      {207, "f207_email", "email"},
      {208, "f208_phone", "phone"},
      {209, "f209_how_found", "how_found"},
      {300, "f300_ip_address", "ip_address"},
      {301, "f301_machine_name", "machine_name"},
      {302, "f302_cpu_identifier", "cpu_identifier"},
      {303, "f303_cpu_mhz", "cpu_mhz"},
      {304, "f304_cpu_mmx", "cpu_mmx"},
      {305, "f305_cpu_vendor", "cpu_vendor"},
      {306, "f306_screen_size", "screen_size"},
      {307, "f307_screen_bits", "screen_bits"},
      {308, "f308_owner", "owner"},
      {309, "f309_organization", "organization"},
      {310, "f310_os", "os"},
      {311, "f311_memory", "memory"},
      {312, "f312_paging_file", "paging_file"},
      {400, "f400_list_server", "list_server"},
      {401, "f401_list_number", "list_number"},
      {402, "f402_list_name", "list_name"},
      {403, "f403_list_text", "list_text"},
  };
  return columns;
}

int FieldIndex(std::int32_t number) {
  const auto& columns = FieldColumns();
  for (std::size_t i = 0; i < columns.size(); ++i)
    if (columns[i].number == number) return static_cast<int>(i);
  return -1;
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
    char32_t c = (b >= 0x80 && b < 0xA0) ? high[b - 0x80] : b;
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
  return out;
}
