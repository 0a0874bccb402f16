#include "header.hpp"

#include "../pysupport/args.hpp"

namespace tarvane {

namespace {

struct Field {
  const char* name;
  uint64_t max;
};

constexpr Field kFields[] = {
    {"edition", 255},
    {"master_table_number", 255},
    {"originating_centre", 65535},
    {"originating_subcentre", 65535},
    {"update_sequence_number", 255},
    {"data_category", 255},
    {"international_data_subcategory", 255},
    {"local_data_subcategory", 255},
    {"master_tables_version_number", 255},
    {"local_tables_version_number", 255},
    {"typical_year", 65535},
    {"typical_month", 255},
    {"typical_day", 255},
    {"typical_hour", 255},
    {"typical_minute", 255},
    {"typical_second", 255},
    {"observed_data", 1},
    {"compressed_data", 1},
};
constexpr Py_ssize_t kCount = sizeof kFields / sizeof kFields[0];

}  // namespace

bool header_from_tuple(PyObject* tuple, BufrMessage* out) {
  if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) != kCount) {
    PyErr_Format(PyExc_TypeError, "header must be a tuple of %zd integers", kCount);
    return false;
  }
  uint64_t v[kCount];
  for (Py_ssize_t i = 0; i < kCount; ++i) {
    if (!arg_uint(PyTuple_GET_ITEM(tuple, i), kFields[i].name, kFields[i].max, &v[i])) return false;
  }
  BufrMessage& m = *out;
  m.edition = static_cast<uint8_t>(v[0]);
  m.master_table_number = static_cast<uint8_t>(v[1]);
  m.originating_centre = static_cast<uint16_t>(v[2]);
  m.originating_subcentre = static_cast<uint16_t>(v[3]);
  m.update_sequence_number = static_cast<uint8_t>(v[4]);
  m.data_category = static_cast<uint8_t>(v[5]);
  m.international_data_subcategory = static_cast<uint8_t>(v[6]);
  m.local_data_subcategory = static_cast<uint8_t>(v[7]);
  m.master_tables_version_number = static_cast<uint8_t>(v[8]);
  m.local_tables_version_number = static_cast<uint8_t>(v[9]);
  m.typical_year = static_cast<uint16_t>(v[10]);
  m.typical_month = static_cast<uint8_t>(v[11]);
  m.typical_day = static_cast<uint8_t>(v[12]);
  m.typical_hour = static_cast<uint8_t>(v[13]);
  m.typical_minute = static_cast<uint8_t>(v[14]);
  m.typical_second = static_cast<uint8_t>(v[15]);
  m.observed_data = v[16] != 0;
  m.compressed_data = v[17] != 0;
  return true;
}

}  // namespace tarvane
