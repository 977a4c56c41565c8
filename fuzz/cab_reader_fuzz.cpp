// Fuzzes the cabinet reader: any bytes, listed and extracted into a scratch
// folder, through the folder stream's block checksums and all four methods.
// The LZX and Quantum decoders are compared with libmspack in their own
// targets; here the reader's records, offsets and block walk are the subject.
#include "extract_fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return velmora::fuzz::list_and_extract(data, size, "cab", ".cab");
}
