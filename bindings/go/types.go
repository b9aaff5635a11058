package winperf

import (
	"bytes"
	"unsafe"
)

// Capacities of the records, as in winperf.h.
const (
	MaxCores     = 128 // core slots in CPUInfo
	MaxDisks     = 64  // most disks the library reports
	MaxNets      = 64  // most network interfaces the library reports
	DiskNameSize = 64  // bytes of DiskInfo.Name, its NUL included
	NetNameSize  = 128 // bytes of NetInfo.Name, its NUL included
)

// The records below mirror the library's C records byte for byte: the library copies them into
// Go memory as they are. The blank fields are the C records' padding.

// CoreInfo is one logical processor (winperf_core_info_t, 56 bytes).
type CoreInfo struct {
	UserSeconds      float64 // always 0 with the Windows sampler
	SystemSeconds    float64 // always 0 with the Windows sampler
	IdleSeconds      float64 // always 0 with the Windows sampler
	InterruptSeconds float64 // always 0 with the Windows sampler
	DPCSeconds       float64 // always 0 with the Windows sampler
	UsagePercent     float64 // busy share over the last collection interval, 0 to 100
	FrequencyMHz     uint32  // clock speed as the system reports it
	_                [4]byte
}

// CPUInfo is the processor record (winperf_cpu_info_t, 7184 bytes).
type CPUInfo struct {
	CoreCount         uint32 // logical processors, at most MaxCores
	_                 [4]byte
	Cores             [MaxCores]CoreInfo // the first CoreCount are meaningful
	TotalUsagePercent float64            // all processors together, 0 to 100
}

// MemoryInfo is the memory record (winperf_mem_info_t, 64 bytes).
type MemoryInfo struct {
	TotalPhysicalBytes     uint64
	AvailablePhysicalBytes uint64
	TotalCommitBytes       uint64 // the commit limit
	CommittedBytes         uint64
	PoolPagedBytes         uint64
	PoolNonpagedBytes      uint64
	CacheBytes             uint64  // the system file cache
	MemoryLoadPercent      float64 // a whole number 0 to 100
}

// DiskInfo is one logical disk (winperf_disk_info_t, 112 bytes).
type DiskInfo struct {
	Name          [DiskNameSize]byte // drive letter and colon, NUL-terminated: see NameString
	TotalBytes    uint64
	FreeBytes     uint64 // all free space, not only the caller's quota
	ReadBytesSec  uint64 // always 0 with the Windows sampler
	WriteBytesSec uint64 // always 0 with the Windows sampler
	ReadIOPS      uint32 // always 0 with the Windows sampler
	WriteIOPS     uint32 // always 0 with the Windows sampler
	QueueLength   float64
}

// NetInfo is one network interface (winperf_net_info_t, 184 bytes). Rates are per second.
type NetInfo struct {
	Name           [NetNameSize]byte // the interface description, NUL-terminated: see NameString
	BytesRecvSec   uint64
	BytesSentSec   uint64
	PacketsRecvSec uint64 // unicast and non-unicast
	PacketsSentSec uint64 // unicast and non-unicast
	ErrorsIn       uint64 // running total kept by the system
	ErrorsOut      uint64 // running total kept by the system
	IsUp           int32  // 1 when operational, else 0
	_              [4]byte
}

// SystemInfo is the system record (winperf_sys_info_t, 40 bytes).
type SystemInfo struct {
	UptimeSeconds      uint64
	ProcessCount       uint32
	ThreadCount        uint32
	HandleCount        uint32
	_                  [4]byte
	ContextSwitchesSec uint64
	SystemCallsSec     uint64
}

// Each pair fails to compile unless the size is exact: a negative uintptr constant overflows.
const (
	_ = unsafe.Sizeof(CoreInfo{}) - 56
	_ = 56 - unsafe.Sizeof(CoreInfo{})
	_ = unsafe.Sizeof(CPUInfo{}) - 7184
	_ = 7184 - unsafe.Sizeof(CPUInfo{})
	_ = unsafe.Sizeof(MemoryInfo{}) - 64
	_ = 64 - unsafe.Sizeof(MemoryInfo{})
	_ = unsafe.Sizeof(DiskInfo{}) - 112
	_ = 112 - unsafe.Sizeof(DiskInfo{})
	_ = unsafe.Sizeof(NetInfo{}) - 184
	_ = 184 - unsafe.Sizeof(NetInfo{})
	_ = unsafe.Sizeof(SystemInfo{}) - 40
	_ = 40 - unsafe.Sizeof(SystemInfo{})
)

// NameString is the disk's name up to its first NUL, such as "C:".
func (d *DiskInfo) NameString() string { return cutAtNUL(d.Name[:]) }

// NameString is the interface's description up to its first NUL. Its bytes are in the system's
// ANSI code page, as Windows reports them, and not necessarily UTF-8; SnapshotJSON has the
// names as UTF-8.
func (n *NetInfo) NameString() string { return cutAtNUL(n.Name[:]) }

func cutAtNUL(b []byte) string {
	if i := bytes.IndexByte(b, 0); i >= 0 {
		b = b[:i]
	}
	return string(b)
}
