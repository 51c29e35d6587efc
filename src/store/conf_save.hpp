// Saving a store's list to the preference file.
#pragma once

#include "store/conf_store.hpp"

/// Replaces the file with the contents of the list, atomically (see
/// conf_disk::replace). 0 written (a mode the file system refuses, or a
/// directory that cannot be synced, is traced and tolerated); -1 when there
/// is no list, the store is read_only (nothing traced), the last load could
/// not read the file, or the content could not be written, synced or
/// renamed, the old file then left as it was.
/// When the lines to write are exactly the lines that load_config read from
/// `path` (in the reverse order, as a load and a save always turn them) and
/// that file held nothing else, nothing is written: the file keeps its
/// bytes, inode and time, and the traces are those of a save that wrote.
/// Each address number above 255 of a line written draws the text
/// "!!! invalid scsi address (%d:%d:%d:%d" (no line end) through log_text,
/// before the file is replaced; the number is written all the same.
int save_config(conf_store *store, const char *path);
