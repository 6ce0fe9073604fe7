#include "ScriptedFiles.h"

#include <fstream>
#include <iterator>
#include <string>

namespace TestSupport {

using Tellan::Platform::Files;

int ScriptedFiles::statusOf(const boost::filesystem::path& path, Status& status)
{
    return Files::native().statusOf(path, status);
}

bool ScriptedFiles::exists(const boost::filesystem::path& path) { return Files::native().exists(path); }

std::uint64_t ScriptedFiles::fileSize(const boost::filesystem::path& path) { return Files::native().fileSize(path); }

int ScriptedFiles::makeFolder(const boost::filesystem::path& path) { return Files::native().makeFolder(path); }

Files::Move ScriptedFiles::move(const boost::filesystem::path& from, const boost::filesystem::path& to)
{
    return everyMoveCrossesVolumes ? Move::OtherVolume : Files::native().move(from, to);
}

bool ScriptedFiles::copy(const boost::filesystem::path& from, const boost::filesystem::path& to)
{
    if (!copiesFailHalfWay)
        return Files::native().copy(from, to);
    // Half of the bytes reach the target; then the write fails, and the
    // copy takes its target away again, as the native one does.
    std::ifstream in(from.native(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    {
        std::ofstream out(to.native(), std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), std::streamsize(bytes.size() / 2));
    }
    Files::native().remove(to);
    ++failedCopies;
    return false;
}

bool ScriptedFiles::remove(const boost::filesystem::path& path) { return Files::native().remove(path); }

int ScriptedFiles::openForReading(const boost::filesystem::path& path) { return Files::native().openForReading(path); }

void ScriptedFiles::closeHandle(int handle) { Files::native().closeHandle(handle); }

} // namespace TestSupport
