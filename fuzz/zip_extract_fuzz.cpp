// Fuzzes ZIP extraction through the reader: any bytes, listed and every entry
// extracted, so each method's decoder (Shrink to PPMd, WinZip AES up to its
// password check) meets hostile sizes, flags and extra fields.
#include "extract_fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return velmora::fuzz::list_and_extract(data, size, "zip-extract", ".zip");
}
