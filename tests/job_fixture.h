// A simulated bootloader, a recording surface and a scratch directory for the update files.
#pragma once

#include "protocol_fixture.h"

#include "job/flash_job.h"

#include <filesystem>
#include <fstream>
#include <vector>

namespace quarvo {

class JobFixture : public ProtocolFixture {
protected:
    JobFixture()
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "_" + info->name();
        for (char& c : name)
            if (c == '/')
                c = '_';
        dir = std::filesystem::path(::testing::TempDir()) / ("quarvo_" + name);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    ~JobFixture() { std::filesystem::remove_all(dir); }
    JobFixture(const JobFixture&) = delete;
    JobFixture& operator=(const JobFixture&) = delete;

    static std::vector<std::uint8_t> pattern(std::size_t size, unsigned seed)
    {
        std::vector<std::uint8_t> data(size);
        for (std::size_t i = 0; i < size; ++i)
            data[i] = static_cast<std::uint8_t>((i * 31 + seed) ^ (i >> 8));
        return data;
    }

    void writeFile(const char* name, const std::vector<std::uint8_t>& data) const
    {
        std::ofstream file(dir / name, std::ios::binary);
        file.write(reinterpret_cast<const char*>(data.data()),
                   static_cast<std::streamsize>(data.size()));
    }

    // A file of `size` bytes without writing them (sparse where the file system allows).
    void sizedFile(const char* name, std::uintmax_t size) const
    {
        std::ofstream(dir / name, std::ios::binary).close();
        std::filesystem::resize_file(dir / name, size);
    }

    // What the device should hold for a file of this content in its programmed pages.
    static std::vector<std::uint8_t> expectedPages(std::vector<std::uint8_t> buffer,
                                                   std::size_t length)
    {
        buffer.resize(regionPageCount(static_cast<std::int32_t>(length)) * 256, 0);
        return buffer;
    }

    std::filesystem::path dir;
};

} // namespace quarvo
