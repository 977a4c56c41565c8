// Fuzzes the tar reader: any bytes, listed and extracted into a scratch folder.
#include "extract_fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return velmora::fuzz::list_and_extract(data, size, "tar", ".tar");
}
