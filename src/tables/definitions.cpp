// Table selection from an ecCodes definitions root: the master tables the
// message names, then its centre's local tables on top.
#include <string>

#include "../fileio.hpp"
#include "loaders.hpp"

namespace tarvane {

Result<TableSet> from_eccodes_definitions(const std::string& definitions_root, const BufrMessage& message) {
  std::string tables_root =
      join_path(join_path(definitions_root, "bufr"), "tables") + "/" + std::to_string(message.master_table_number);
  std::string master = join_path(join_path(tables_root, "wmo"), std::to_string(message.master_tables_version_number));
  TARVANE_TRY(std::string master_dir, resolve_eccodes_table_dir(master));
  TARVANE_TRY(TableSet tables, from_eccodes_dir(master_dir));
  if (message.local_tables_version_number == 0) return tables;

  // Master version 19 names its local directories "19-<local version>".
  std::string local_name = std::to_string(message.local_tables_version_number);
  if (message.master_tables_version_number == 19) local_name = "19-" + local_name;
  std::string local = join_path(join_path(tables_root, "local"), local_name);
  local = join_path(join_path(local, std::to_string(message.originating_centre)),
                    std::to_string(message.originating_subcentre));
  if (path_kind(local) == PathKind::Missing) return tables;

  std::string element_table = join_path(local, "element.table");
  if (path_kind(element_table) != PathKind::Missing) TARVANE_CHECK(load_eccodes_element_table(tables, element_table));
  std::string sequence_def = join_path(local, "sequence.def");
  if (path_kind(sequence_def) != PathKind::Missing) TARVANE_CHECK(load_eccodes_sequence_def(tables, sequence_def));
  std::string codetables = join_path(local, "codetables");
  if (path_kind(codetables) != PathKind::Missing) TARVANE_CHECK(load_eccodes_code_tables(tables, codetables));
  return tables;
}

}  // namespace tarvane
