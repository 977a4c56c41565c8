// The standard filters WinRAR 2.9-4.x sends through the RAR virtual machine,
// as native code. A filter's bytecode is never run: it is recognised by its
// length and CRC-32, and the filter reads its parameters from the initial VM
// registers (R0, R1) the stream sets. Block sizes are bounded by the VM's
// 240 KiB work area; the filters with a separate output need twice the block.
#pragma once

#include <cstdint>
#include <span>

namespace velmora {

enum class Rar3FilterKind : uint8_t { unknown, e8, e8e9, itanium, delta, rgb, audio };

// VM memory layout that bounds the blocks.
inline constexpr uint32_t rar3_vm_memory_size = 0x40000;
inline constexpr uint32_t rar3_vm_work_size = 0x3C000; // below the global data area

// The standard filter whose bytecode this is, or unknown.
Rar3FilterKind rar3_identify_filter(std::span<const uint8_t> bytecode);

// Runs `kind` on the block memory[0..length) (memory holds rar3_vm_memory_size
// bytes). r0 and r1 are the filter's R0 and R1, file_offset the block's
// position in the entry (R6). Returns where the output starts in memory (0 or
// length; the output is `length` bytes), or -1 when the parameters are outside
// what the filter accepts.
int32_t rar3_run_filter(Rar3FilterKind kind, uint8_t* memory, uint32_t length, uint32_t r0, uint32_t r1,
                        uint32_t file_offset);

} // namespace velmora
