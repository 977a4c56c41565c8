// Fuzzes the ARC reader: any bytes, listed and extracted into a scratch
// folder (the decoder itself is compared with a second one in
// arc_decoder_fuzz; here the header chain and the data ranges are the subject).
#include "extract_fuzz_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return velmora::fuzz::list_and_extract(data, size, "arc", ".arc");
}
