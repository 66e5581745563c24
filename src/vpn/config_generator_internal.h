// config_generator_files_folder_override: the files' folder, for the tests.
#pragma once

#include <string>

// The folder the generators make their files in: "/run/veltra" for root, a
// private folder of the running user otherwise. Tests point it at a folder
// of their own (nullptr restores the default); the run record then lives
// there too unless the records' folder is pointed elsewhere.
void config_generator_files_folder_override(const char *folder);
std::string config_generator_files_folder(void);
// The folder of the run record and the other records of a connection:
// "/var/lib/veltra" for root, the files' folder otherwise.
void config_generator_records_folder_override(const char *folder);
std::string config_generator_records_folder(void);

// Name of the run record inside the records' folder.
extern const char *const config_generator_run_record_name;
