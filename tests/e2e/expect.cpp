// quarvo-e2e-expect CODE DATABASE DIR: writes what a device must hold after a healthy update with
// these files, one file per programmed region, named as the simulated device names its own:
// region_<address>.bin with the data and the zero bytes after it up to the end of the last page.
#include "job/flash_job.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> readFile(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeRegion(const std::string& dir, std::uint32_t address, std::vector<std::uint8_t> bytes,
                 std::size_t length)
{
    bytes.resize(quarvo::regionPageCount(static_cast<std::int32_t>(length)) * quarvo::PAGE_SIZE, 0);
    char name[32];
    std::snprintf(name, sizeof name, "/region_%08x.bin", address);
    std::ofstream(dir + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
}

} // namespace

int main(int argc, char** argv)
{
    using namespace quarvo;
    if (argc != 4) {
        std::fprintf(stderr, "usage: quarvo-e2e-expect CODE DATABASE DIR\n");
        return 2;
    }
    const auto code = readFile(argv[1]);
    auto database = readFile(argv[2]);
    const std::size_t databaseLength = database.size();
    database.resize(databaseLength + BUFFER_SLACK, 0);
    transformDatabase(database, databaseLength);

    writeRegion(argv[3], CODE_ADDRESS, code, code.size());
    const auto header = buildImageHeader(static_cast<std::uint32_t>(code.size()));
    std::ofstream(std::string(argv[3]) + "/region_00008000.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(header.data()), PAGE_SIZE);
    database.resize(databaseLength + 1); // the transformed byte after the data belongs to it
    writeRegion(argv[3], DATABASE_ADDRESS, database, databaseLength);
    return 0;
}
