// An output file of a measured run: replaced whole at each write, or appended to row by row.
#pragma once

#include <cstdio>
#include <string>

// A failed write is reported on standard error once per series of failures (the first of a
// series; a success ends it) as "relaysim: <option>: can't write <path>: <error>", and the
// run goes on. Results are bools with errno kept from the failing call.
class COutputFile {
public:
    // An empty path: the output was not asked for.
    COutputFile(const char* option, const std::string& path);
    ~COutputFile();
    COutputFile(const COutputFile&) = delete;
    COutputFile& operator=(const COutputFile&) = delete;

    bool wanted() const { return !m_path.empty(); }
    const std::string& path() const { return m_path; }

    // Replaces the file as write_atomically does.
    bool replace(const std::string& text);
    // Creates (truncates) the file, writes text and keeps it open for append().
    bool create(const std::string& text);
    // Fails with ENOENT once the file is no longer in any folder (removed, or its folder
    // removed): the rows would go nowhere.
    bool append(const std::string& text);

    // Replaces path through a temporary file in its folder, so readers never see half of it.
    static bool write_atomically(const std::string& path, const std::string& text);
    // Whether a file can be created in path's folder, to refuse a bad path before a run.
    static bool can_write(const std::string& path);
    // Whether the two paths name one file: the same device and inode where it exists, else
    // the same resolved folder and name.
    static bool same_file(const std::string& a, const std::string& b);

private:
    // ok: the write's result, errno still that of its failure.
    bool note(bool ok);

    const char* m_option;
    std::string m_path;
    bool m_failing = false;
    FILE* m_file = nullptr;
};
