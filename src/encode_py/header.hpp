// The header tuple the package hands the writing module, as a BufrMessage.
#pragma once

#include <Python.h>

#include "../message/message.hpp"

namespace tarvane {

// (edition, master_table_number, originating_centre, originating_subcentre,
// update_sequence_number, data_category, international_data_subcategory,
// local_data_subcategory, master_tables_version_number,
// local_tables_version_number, typical_year, typical_month, typical_day,
// typical_hour, typical_minute, typical_second, observed_data,
// compressed_data), each within its octets. False with an exception set.
bool header_from_tuple(PyObject* tuple, BufrMessage* out);

}  // namespace tarvane
