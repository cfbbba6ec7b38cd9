/* A private directory under /tmp for tests that write files, removed with
 * everything in it when the record goes out of scope. */
#ifndef ZEL_TEST_SUPPORT_TEMP_DIR_H
#define ZEL_TEST_SUPPORT_TEMP_DIR_H

#include <string>

struct temp_dir {
    std::string path;

    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    /* The path of `name` inside the directory. */
    std::string file(const std::string& name) const { return path + "/" + name; }
};

/* Writes `data` to the file `path`, replacing it. */
void write_file(const std::string& path, const std::string& data);

/* The whole content of the file `path` (empty if it cannot be read). */
std::string read_file(const std::string& path);

#endif
