#include "png_picture.h"

#include <wincodec.h>

#include <cstring>
#include <vector>

namespace quarvo {
namespace {

// RT_RCDATA's number: the macro names it in the narrow or wide form that UNICODE chooses.
constexpr WORD RCDATA_TYPE = 10;

// One COM interface, released when it goes.
template <typename Interface> class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr()
    {
        if (m_pointer)
            m_pointer->Release();
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    Interface* operator->() const { return m_pointer; }
    Interface* get() const { return m_pointer; }
    Interface** put() { return &m_pointer; }

private:
    Interface* m_pointer = nullptr;
};

// COM on this thread for as long as it lives, where the thread had none; a thread that already
// has COM, in whichever model, keeps it as it is.
class ComScope {
public:
    ComScope() : m_result(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComScope()
    {
        if (SUCCEEDED(m_result))
            CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    bool usable() const { return SUCCEEDED(m_result) || m_result == RPC_E_CHANGED_MODE; }
    HRESULT result() const { return m_result; }

private:
    HRESULT m_result;
};

std::string failed(const char* step, HRESULT result)
{
    char code[16];
    wsprintfA(code, "0x%08lX", static_cast<unsigned long>(result));
    return std::string(step) + " failed (" + code + ")";
}

} // namespace

HBITMAP loadPngPicture(HMODULE module, int id, std::string& error)
{
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(RCDATA_TYPE));
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    const DWORD size = found ? SizeofResource(module, found) : 0;
    if (!bytes || size == 0) {
        error = "resource " + std::to_string(id) + " not found (error " +
                std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    const ComScope com;
    if (!com.usable()) {
        error = failed("CoInitializeEx", com.result());
        return nullptr;
    }
    ComPtr<IWICImagingFactory> factory;
    ComPtr<IWICStream> stream;
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
    ComPtr<IWICFormatConverter> converter;
    HRESULT result =
        CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                         IID_IWICImagingFactory, reinterpret_cast<void**>(factory.put()));
    if (FAILED(result)) {
        error = failed("creating the imaging factory", result);
        return nullptr;
    }
    // The stream reads the resource where it is; resources live as long as the module.
    if (FAILED(result = factory->CreateStream(stream.put())) ||
        FAILED(result = stream->InitializeFromMemory(static_cast<BYTE*>(const_cast<void*>(bytes)),
                                                     size))) {
        error = failed("opening the picture", result);
        return nullptr;
    }
    if (FAILED(result = factory->CreateDecoderFromStream(
                   stream.get(), nullptr, WICDecodeMetadataCacheOnDemand, decoder.put())) ||
        FAILED(result = decoder->GetFrame(0, frame.put()))) {
        error = failed("decoding the picture", result);
        return nullptr;
    }
    // Blue, green, red: the pixels of a 24-bit bitmap.
    if (FAILED(result = factory->CreateFormatConverter(converter.put())) ||
        FAILED(result = converter->Initialize(frame.get(), GUID_WICPixelFormat24bppBGR,
                                              WICBitmapDitherTypeNone, nullptr, 0.0,
                                              WICBitmapPaletteTypeCustom))) {
        error = failed("converting the picture", result);
        return nullptr;
    }
    UINT width = 0;
    UINT height = 0;
    if (FAILED(result = converter->GetSize(&width, &height)) || width == 0 || height == 0 ||
        width > 0x4000 || height > 0x4000) {
        error = failed("sizing the picture", result);
        return nullptr;
    }
    // Rows of whole DWORDs, as a bitmap has them.
    const UINT stride = (width * 3 + 3) & ~3u;
    std::vector<BYTE> pixels(static_cast<std::size_t>(stride) * height);
    if (FAILED(result = converter->CopyPixels(nullptr, stride, static_cast<UINT>(pixels.size()),
                                              pixels.data()))) {
        error = failed("reading the picture's pixels", result);
        return nullptr;
    }

    // Bottom-up, as LoadImage makes a BMP's DIB section.
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = static_cast<LONG>(width);
    format.bmiHeader.biHeight = static_cast<LONG>(height);
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 24;
    format.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap || !bits) {
        error = "no bitmap of " + std::to_string(width) + "x" + std::to_string(height) +
                " (error " + std::to_string(GetLastError()) + ")";
        if (bitmap)
            DeleteObject(bitmap);
        return nullptr;
    }
    auto* target = static_cast<BYTE*>(bits);
    for (UINT row = 0; row < height; ++row)
        std::memcpy(target + static_cast<std::size_t>(height - 1 - row) * stride,
                    pixels.data() + static_cast<std::size_t>(row) * stride, stride);
    return bitmap;
}

} // namespace quarvo
