// Tests of COutputFile: whole files replaced in one step, rows appended, failures as results.
#include "COutputFile.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

// A fresh folder per test, removed with what is left in it.
class TempDir {
public:
    TempDir()
    {
        char name[] = "/tmp/coutputfile_test.XXXXXX";
        m_path = mkdtemp(name) ? name : "";
    }
    ~TempDir()
    {
        for (const std::string& f : files())
            unlink((m_path + "/" + f).c_str());
        rmdir(m_path.c_str());
    }
    std::set<std::string> files() const
    {
        std::set<std::string> out;
        if (DIR* d = opendir(m_path.c_str())) {
            while (dirent* e = readdir(d))
                if (e->d_name[0] != '.')
                    out.insert(e->d_name);
            closedir(d);
        }
        return out;
    }
    std::string m_path;
};

std::string read_all(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(COutputFileTest, WritesReplaceTheFileAndFailuresAreResults)
{
    TempDir dir;
    const std::string path = dir.m_path + "/report.json";
    ASSERT_TRUE(COutputFile::can_write(path));
    EXPECT_TRUE(dir.files().empty());
    ASSERT_TRUE(COutputFile::write_atomically(path, "first\n"));
    ASSERT_TRUE(COutputFile::write_atomically(path, "second\n"));
    EXPECT_EQ(read_all(path), "second\n");
    EXPECT_EQ(dir.files(), (std::set<std::string>{"report.json"}));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    const std::string missing = dir.m_path + "/no/such/folder/report.json";
    EXPECT_FALSE(COutputFile::can_write(missing));
    errno = 0;
    EXPECT_FALSE(COutputFile::write_atomically(missing, "x"));
    EXPECT_EQ(errno, ENOENT);
    // A folder in the way: the rename fails and no temporary file is left behind.
    ASSERT_EQ(mkdir((dir.m_path + "/taken").c_str(), 0755), 0);
    EXPECT_FALSE(COutputFile::write_atomically(dir.m_path + "/taken", "x"));
    EXPECT_EQ(dir.files(), (std::set<std::string>{"report.json", "taken"}));
    rmdir((dir.m_path + "/taken").c_str());

    test_support::Capture quiet(test_support::Capture::STDERR);
    COutputFile csv("--csv", missing);
    EXPECT_FALSE(csv.create("header\n"));
    EXPECT_FALSE(csv.append("row\n"));
}

// Rows written to a file that is in no folder any more would be lost without a word.
TEST(COutputFileTest, AppendingFailsOnceTheFileIsRemoved)
{
    TempDir dir;
    const std::string path = dir.m_path + "/run.csv";
    COutputFile csv("--csv", path);
    ASSERT_TRUE(csv.create("header\n"));
    ASSERT_TRUE(csv.append("row 1\n"));
    ASSERT_EQ(unlink(path.c_str()), 0);
    test_support::Capture err(test_support::Capture::STDERR);
    errno = 0;
    EXPECT_FALSE(csv.append("row 2\n"));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(csv.append("row 3\n"));
    EXPECT_EQ(err.text(), "relaysim: --csv: can't write " + path + ": No such file or directory\n");
}

}  // namespace
