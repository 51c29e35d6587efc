// The scenario of the simulated array: which device nodes exist, what each
// answers, and which file operations fail on purpose. The parser works on a
// text held in memory, so it runs and is tested without any interposition.
#pragma once

#include <cstddef>
#include <cstdint>

namespace simarray {

constexpr std::size_t kMaxNodes = 4096;
constexpr std::size_t kIndexSlots = 8192;  ///< hash index of node paths, > 2 x kMaxNodes
constexpr std::size_t kMaxPath = 256;   ///< a path, NUL included
constexpr std::size_t kMaxPage = 1024;  ///< bytes of a page 0x83, header included
constexpr std::size_t kMaxReply = 64;   ///< bytes of a READ BUFFER reply
constexpr std::size_t kMaxFails = 64;
constexpr std::size_t kMaxMessage = 512;
constexpr int kMaxDelayMs = 3600000;    ///< longest `fault delay`
constexpr int kMaxHost = 65535;         ///< largest host number of `addr`

/// One simulated device node. A node without `port`/`reply` answers READ
/// BUFFER with CHECK CONDITION; one without `designator`/`alias`/`page83`
/// answers page 0x83 with a page that holds no descriptor.
struct Node {
    const char *path;               ///< in the scenario's pool
    int host, channel, id, lun;  ///< host up to kMaxHost, the others 0..255
    const std::uint8_t *page83;     ///< the complete page as sent, in the pool
    std::size_t page83_len;
    bool page83_raw;     ///< given by `page83`, not built from descriptors
    bool has_descriptor; ///< some `designator` or `alias` was given
    std::uint8_t reply[kMaxReply];
    std::size_t reply_len;
    bool has_reply;
    bool reply_raw;
    int fault_open;      ///< errno for open, 0 for none
    int fault_idlun;
    int fault_busno;     ///< errno for SCSI_IOCTL_GET_BUS_NUMBER, 0 for none
    int fault_sgio;
    bool fault_inquiry_check;
    bool fault_readbuffer_check;
    int fault_delay_ms;  ///< every SG_IO takes this long (bounded by its timeout), 0 for none
};

enum class FailOp { open, write, rename };

/// A `fail` directive: an operation on a path as the program names it.
struct FailRule {
    FailOp op;
    char path[kMaxPath];
    int err;
};

/// Large, but the parser touches only what the text fills (a few hundred
/// bytes per node), so that a process that loads a scenario of thousands of
/// nodes stays small and starts fast.
struct Scenario {
    Node nodes[kMaxNodes];
    std::size_t node_count;
    FailRule fails[kMaxFails];
    std::size_t fail_count;
    std::uint32_t index[kIndexSlots];  ///< node number + 1 by hash of its path; 0 free
    std::uint8_t pool[kMaxNodes * (kMaxPath + kMaxPage)];  ///< paths and pages of the nodes
    std::size_t pool_used;
};

/// Parses the scenario `text` of `len` bytes into `out`, which it resets
/// first. Returns 0 on success; otherwise the number of the offending line
/// (1-based) with a message for it in `msg` (a NUL-terminated text of at most
/// `msg_size` bytes, without file name or line number).
int parse_scenario(const char *text, std::size_t len, Scenario &out, char *msg,
                   std::size_t msg_size);

/// The node named exactly `path`, or null.
const Node *find_node(const Scenario &sc, const char *path);

/// The errno of the first `fail` rule for `op` on `path`, or 0.
int find_fail(const Scenario &sc, FailOp op, const char *path);

/// Converts an errno name ("EACCES") or a decimal number 1..4095 of `len`
/// bytes; returns the value, or 0 when the text is neither.
int parse_errno(const char *text, std::size_t len);

}  // namespace simarray
