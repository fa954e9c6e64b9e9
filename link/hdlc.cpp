#include "link/hdlc.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <sys/mman.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "link/crc16.h"

using namespace quillon;

namespace {
constexpr size_t kNodeSize = sizeof(HDLC_RX_NODE);
constexpr size_t kSpoolBytes = node_spool_bytes(kNodeSize, kRxNodeCount);
constexpr uint8_t kFlag = 0x7E;
constexpr uint8_t kEsc = 0x7D;

uint64_t load_le64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

// True when any of the eight bytes is 0x7E or 0x7D (a zero byte in v XOR the repeated value).
bool has_flag_or_escape(uint64_t v) {
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    constexpr uint64_t kHighs = 0x8080808080808080ULL;
    const uint64_t f = v ^ (kOnes * kFlag);
    const uint64_t e = v ^ (kOnes * kEsc);
    return ((((f - kOnes) & ~f) | ((e - kOnes) & ~e)) & kHighs) != 0;
}

// The first 0x7E or 0x7D in [p, end), or end: sixteen bytes a step where SSE2 is there (every
// x86-64), eight otherwise.
const uint8_t* next_flag_or_escape(const uint8_t* p, const uint8_t* end) {
#if defined(__SSE2__)
    const __m128i flag = _mm_set1_epi8(static_cast<char>(kFlag));
    const __m128i esc = _mm_set1_epi8(static_cast<char>(kEsc));
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int m =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, flag), _mm_cmpeq_epi8(v, esc)));
        if (m != 0) return p + __builtin_ctz(static_cast<unsigned>(m));
        p += 16;
    }
#endif
    while (end - p >= 8 && !has_flag_or_escape(load_le64(p)))
        p += 8;
    while (p < end && *p != kFlag && *p != kEsc)
        ++p;
    return p;
}
// The spool's 2 MiB as fresh anonymous memory: it reads as zero, so every node's mark already
// says free, and a node's pages are touched only once it is used (a link uses two or three).
unsigned char* MapSpool() {
    void* p =
        ::mmap(nullptr, kSpoolBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return static_cast<unsigned char*>(p);
}
} // namespace

void CTransmitHdlc::SpoolUnmap::operator()(unsigned char* p) const {
    ::munmap(p, kSpoolBytes);
}

CTransmitHdlc::CTransmitHdlc()
    : m_spoolMem(MapSpool()), m_spool(reinterpret_cast<NODE_SPOOL*>(m_spoolMem.get())),
      m_frameEvent(std::make_unique<tw::ManualResetEvent>(false)) {
    SetTag(TAG_TRANSMIT_HDLC);
    // What node_init_spool leaves, with the nodes' marks already zero.
    m_spool->mark = NODE_SPOOL_MARK;
    m_spool->node_size = static_cast<uint16_t>(kNodeSize);
    m_spool->count = kRxNodeCount;
    m_spool->in_use = 0;
    m_spool->cursor = 0;
    ClearReceive(1);
}

CTransmitHdlc::~CTransmitHdlc() {
    SetTag(0);
    if (m_frameEvent) m_frameEvent->abandon();
}

bool CTransmitHdlc::Check(int kind) {
    if (kind == 0) return Tag() == TAG_TRANSMIT_HDLC;
    if (kind == 1) return IsOpen() != 0;
    return false;
}

int CTransmitHdlc::OnFrameQueued() {
    if (m_overlapTimeout.load() != 0 && m_frameEvent) m_frameEvent->set();
    return 0;
}

void CTransmitHdlc::AbandonFrameEvent() {
    if (m_frameEvent) m_frameEvent->abandon();
}

void CTransmitHdlc::SetPortClosed(bool closed) {
    m_portClosed.store(closed);
    // Left set: a receive that resets it afterwards tests the flag again before it waits.
    if (closed && m_frameEvent) m_frameEvent->set();
}

int CTransmitHdlc::FrameWrite(const uint8_t* data, int len) {
    return WriteFramed(data, len, true);
}

int CTransmitHdlc::FrameWriteNo7e(const uint8_t* data, int len) {
    // Callers pass the packet length plus one.
    return WriteFramed(data, len - 1, false);
}

int CTransmitHdlc::WriteFramed(const uint8_t* data, int len, bool opening_flag) {
    if (!Check(1)) return ERR_PORT_NOT_OPEN;
    if (m_overlapTimeout.load() != 0 && m_frameEvent) ClearReceive(0);
    if (len < 0 || (!data && len > 0)) len = 0;
    int n = FilterFrame(0, const_cast<uint8_t*>(data), len);
    if (n < 0) n = 0;

    // The staging buffer goes out whenever it is full, wherever in the frame that falls (an
    // escape pair may be split), and once more at the end: the same writes of the same sizes
    // as storing byte by byte would make, so the port's padding rule sees the same lengths.
    uint8_t staging[kStagingSize];
    int used = 0;
    int total = 0;
    bool cut_short = false;
    auto flush = [&] {
        if (RawWrite(staging, used) < used) cut_short = true;
        used = 0;
    };
    auto store_run = [&](const uint8_t* p, size_t count) {
        while (count > 0) {
            const size_t m = std::min(count, static_cast<size_t>(kStagingSize - used));
            std::memcpy(staging + used, p, m);
            used += static_cast<int>(m);
            total += static_cast<int>(m);
            p += m;
            count -= m;
            if (used == kStagingSize) flush();
        }
    };
    auto store = [&](uint8_t b) {
        staging[used++] = b;
        ++total;
        if (used == kStagingSize) flush();
    };
    auto store_escaped = [&](uint8_t b) {
        store(kEsc);
        store(static_cast<uint8_t>(b ^ 0x20));
    };
    auto emit = [&](uint8_t b) {
        if (b == kFlag || b == kEsc)
            store_escaped(b);
        else
            store(b);
    };

    if (opening_flag) store(kFlag);
    // The CRC in one bulk pass, then the bytes in runs between the ones that need escaping.
    uint16_t crc = crc16_update(kCrc16Init, data, static_cast<size_t>(n));
    const uint8_t* p = data;
    const uint8_t* const end = data + n;
    while (p < end) {
        if (*p == kFlag || *p == kEsc) {
            store_escaped(*p++);
            continue;
        }
        const uint8_t* q = next_flag_or_escape(p + 1, end);
        store_run(p, static_cast<size_t>(q - p));
        p = q;
    }
    crc ^= 0xFFFF;
    emit(static_cast<uint8_t>(crc & 0xFF));
    emit(static_cast<uint8_t>(crc >> 8));
    store(kFlag);
    if (used > 0) flush();
    // A write cut short because the port closed under it (a stop, a hang-up) did not send the
    // packet.
    if (cut_short && (m_portClosed.load() || !Check(1))) return ERR_PORT_NOT_OPEN;
    return total;
}

HDLC_RX_NODE* CTransmitHdlc::ResetNode(HDLC_RX_NODE* node) {
    if (!node) return node;
    node->length = 0;
    node->flags = kFlagReceiving;
    node->crc = kCrc16Init;
    return node;
}

HDLC_RX_NODE* CTransmitHdlc::CurrentNodeLocked(bool& queued) {
    queued = false;
    if (m_current &&
        (m_current->flags & (kFlagReceiving | kFlagComplete)) == (kFlagReceiving | kFlagComplete)) {
        if (FilterFrame(1, m_current->data, m_current->length) < 1) {
            ResetNode(m_current);
        } else {
            int linked = 0;
            m_current->hdr.key = 0;
            m_rxQueue = node_link(m_rxQueue, &m_current->hdr, &linked);
            m_anyQueued.store(m_rxQueue != nullptr);
            m_current = nullptr;
            queued = true;
        }
    }
    if (!m_current) {
        NODE* n = node_new(0, m_spool);
        if (n) m_current = ResetNode(reinterpret_cast<HDLC_RX_NODE*>(n));
    }
    return m_current;
}

HDLC_RX_NODE* CTransmitHdlc::CurrentNode() {
    bool queued = false;
    m_queueLock.Enter();
    HDLC_RX_NODE* node = CurrentNodeLocked(queued);
    m_queueLock.Leave();
    if (queued) OnFrameQueued();
    return node;
}

int CTransmitHdlc::ReceiveSpace(int count) {
    if (count <= 0) return 0;
    std::lock_guard<CProtectedCritical> g(m_queueLock);
    HDLC_RX_NODE* node = CurrentNode();
    if (!node) return ERR_RX_NO_NODE;
    if (node->length >= kFrameMax) {
        // A full node still needs its closing flag read (a longer frame is dropped there), so
        // the reader is given room rather than the node being thrown away.
        return std::min(count, kFrameMax);
    }
    return std::min(count, kFrameMax - static_cast<int>(node->length));
}

int CTransmitHdlc::DecodeBytes(const uint8_t* bytes, int count) {
    if (!bytes || count <= 0) return 0;
    // The queue lock covers the whole chunk: the current node must not be re-initialised by a
    // concurrent ClearReceive while bytes are stored in it.
    std::lock_guard<CProtectedCritical> g(m_queueLock);
    HDLC_RX_NODE* node = CurrentNode();
    if (!node) return -1;
    // The frame's running state lives in locals and goes back into the packed node once per
    // frame or chunk, not once per byte. Bytes are unescaped into the node first and folded into
    // the CRC in bulk (eight at a time) when a flag needs it or the chunk ends, so the CRC's
    // chain of table lookups never holds up the byte loop. Bytes past the node's room are not
    // stored and not folded in: such a frame is dropped whatever its CRC.
    uint8_t flags = node->flags;
    uint16_t crc = node->crc;
    int length = node->length;
    int folded = length; // data[0, folded) are in crc
    uint8_t* data = node->data;
    int result = 0;
    const uint8_t* p = bytes;
    const uint8_t* const end = bytes + count;
    while (p < end) {
        // Ordinary bytes, the bulk of any frame: no escape pending, room in the node.
        if (!(flags & kFlagEscape) && *p != kFlag && *p != kEsc) {
            const int room = kFrameMax - length;
            const uint8_t* stop = p + std::min<ptrdiff_t>(end - p, room > 0 ? room : 0);
            // The run up to the next flag or escape (found as the encoder finds it), copied whole.
            const uint8_t* run_end = next_flag_or_escape(p, stop);
            std::memcpy(data + length, p, static_cast<size_t>(run_end - p));
            length += static_cast<int>(run_end - p);
            p = run_end;
            if (p == end) break;
        }
        uint8_t b = *p++;
        if (b == kFlag) {
            if (flags & kFlagOverflow) {
                m_oversizeDropped.fetch_add(1);
                flags = kFlagReceiving;
                crc = kCrc16Init;
                length = folded = 0;
                continue;
            }
            crc = crc16_update(crc, data + folded, static_cast<size_t>(length - folded));
            folded = length;
            if (!(flags & kFlagReceiving) || length < 3 || crc != kCrc16Good) {
                flags = kFlagReceiving;
                crc = kCrc16Init;
                length = folded = 0;
                continue;
            }
            node->length = static_cast<uint16_t>(length - 2);
            node->flags = static_cast<uint8_t>(flags | kFlagComplete);
            node->crc = crc;
            result = node->length;
            node = CurrentNode();
            if (!node) return result;
            flags = node->flags;
            crc = node->crc;
            length = folded = node->length;
            data = node->data;
            continue;
        }
        if (b == kEsc) {
            if (!(flags & kFlagReceiving)) continue;
            if (p == end || *p == kFlag || *p == kEsc) {
                // The escaped byte is in the next chunk, or the escape is followed by a flag or
                // another escape: remember it.
                flags |= kFlagEscape;
                continue;
            }
            b = static_cast<uint8_t>(*p++ ^ 0x20);
            flags &= static_cast<uint8_t>(~kFlagEscape);
        } else if (flags & kFlagEscape) {
            flags &= static_cast<uint8_t>(~kFlagEscape);
            b ^= 0x20;
        }
        if (length < kFrameMax) {
            data[length++] = b;
        } else {
            flags |= kFlagOverflow;
        }
    }
    node->flags = flags;
    node->crc = crc16_update(crc, data + folded, static_cast<size_t>(length - folded));
    node->length = static_cast<uint16_t>(length);
    return result;
}

int CTransmitHdlc::QueuedFrames() {
    std::lock_guard<CProtectedCritical> g(m_queueLock);
    return node_getnum(m_rxQueue);
}

int CTransmitHdlc::TakeFrame(uint8_t* buffer, int len) {
    const uint32_t timeout = m_overlapTimeout.load();
    bool empty = !m_anyQueued.load();
    if (empty) {
        if (m_portClosed.load()) return ERR_PORT_NOT_OPEN;
        if (timeout == 0 || !m_frameEvent) return 0;
        m_frameEvent->reset();
        // A frame queued (or the port closed) between the first test and the reset has already
        // set the event; testing again after the reset closes that gap.
        if (m_portClosed.load()) return ERR_PORT_NOT_OPEN;
        m_queueLock.Enter();
        empty = (m_rxQueue == nullptr);
        m_queueLock.Leave();
        if (empty) {
            tw::WaitResult r = m_frameEvent->wait_ms(timeout);
            if (r == tw::WaitResult::Abandoned) return ERR_RX_ABANDONED;
            if (r == tw::WaitResult::Timeout) return ERR_RX_TIMEOUT;
        }
    }
    std::lock_guard<CProtectedCritical> g(m_queueLock);
    if (!m_rxQueue) return m_portClosed.load() ? ERR_PORT_NOT_OPEN : ERR_RX_WOKEN_EMPTY;
    auto* frame = reinterpret_cast<HDLC_RX_NODE*>(m_rxQueue);
    int n = frame->length;
    if (len >= 1) n = std::min(len, n);
    if (n > 0 && buffer) std::memcpy(buffer, frame->data, static_cast<size_t>(n));
    int removed = 0;
    m_rxQueue = node_unlink(m_rxQueue, &frame->hdr, &removed);
    m_anyQueued.store(m_rxQueue != nullptr);
    node_delete(&frame->hdr, m_spool);
    return n;
}

void CTransmitHdlc::FreeAllNodesLocked() {
    // The nodes in use are the queued frames and the current node, and only they carry a mark:
    // freeing them leaves the spool as re-initialising it would (every node free, handed out
    // from the start again) without touching all 60 nodes, 32 KiB apart, on every clean-up.
    if (m_rxQueue) {
        NODE* const head = m_rxQueue;
        NODE* n = head;
        do {
            NODE* next = n->next;
            node_delete(n, m_spool);
            n = next;
        } while (n && n != head);
    }
    if (m_current) node_delete(&m_current->hdr, m_spool);
    m_rxQueue = nullptr;
    m_anyQueued.store(false);
    m_current = nullptr;
    if (m_spool->mark == NODE_SPOOL_MARK && m_spool->in_use == 0 &&
        m_spool->node_size == kNodeSize && m_spool->count == kRxNodeCount) {
        m_spool->cursor = 0;
    } else {
        node_init_spool(m_spool, static_cast<uint16_t>(kNodeSize), kRxNodeCount);
    }
}

int CTransmitHdlc::ClearReceive(int force) {
    // Every framed write asks: an empty queue is seen without the lock.
    if (force == 0 && !m_anyQueued.load()) return 0;
    m_queueLock.Enter();
    if (m_rxQueue == nullptr && force == 0) {
        m_queueLock.Leave();
        return 0;
    }
    FreeAllNodesLocked();
    m_queueLock.Leave();
    if (m_frameEvent) {
        m_frameEvent->set();
        m_frameEvent->reset();
    }
    return 0;
}
