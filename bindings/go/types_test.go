package winperf

import (
	"testing"
	"unsafe"
)

// The offsets of winperf.h; a field out of place would read another field's bytes.
func TestRecordLayout(t *testing.T) {
	var core CoreInfo
	var cpu CPUInfo
	var mem MemoryInfo
	var disk DiskInfo
	var net NetInfo
	var sys SystemInfo
	cases := []struct {
		field     string
		got, want uintptr
	}{
		{"sizeof CoreInfo", unsafe.Sizeof(core), 56},
		{"CoreInfo.SystemSeconds", unsafe.Offsetof(core.SystemSeconds), 8},
		{"CoreInfo.IdleSeconds", unsafe.Offsetof(core.IdleSeconds), 16},
		{"CoreInfo.InterruptSeconds", unsafe.Offsetof(core.InterruptSeconds), 24},
		{"CoreInfo.DPCSeconds", unsafe.Offsetof(core.DPCSeconds), 32},
		{"CoreInfo.UsagePercent", unsafe.Offsetof(core.UsagePercent), 40},
		{"CoreInfo.FrequencyMHz", unsafe.Offsetof(core.FrequencyMHz), 48},
		{"sizeof CPUInfo", unsafe.Sizeof(cpu), 7184},
		{"CPUInfo.Cores", unsafe.Offsetof(cpu.Cores), 8},
		{"CPUInfo.TotalUsagePercent", unsafe.Offsetof(cpu.TotalUsagePercent), 7176},
		{"sizeof MemoryInfo", unsafe.Sizeof(mem), 64},
		{"MemoryInfo.AvailablePhysicalBytes", unsafe.Offsetof(mem.AvailablePhysicalBytes), 8},
		{"MemoryInfo.TotalCommitBytes", unsafe.Offsetof(mem.TotalCommitBytes), 16},
		{"MemoryInfo.CommittedBytes", unsafe.Offsetof(mem.CommittedBytes), 24},
		{"MemoryInfo.PoolPagedBytes", unsafe.Offsetof(mem.PoolPagedBytes), 32},
		{"MemoryInfo.PoolNonpagedBytes", unsafe.Offsetof(mem.PoolNonpagedBytes), 40},
		{"MemoryInfo.CacheBytes", unsafe.Offsetof(mem.CacheBytes), 48},
		{"MemoryInfo.MemoryLoadPercent", unsafe.Offsetof(mem.MemoryLoadPercent), 56},
		{"sizeof DiskInfo", unsafe.Sizeof(disk), 112},
		{"DiskInfo.TotalBytes", unsafe.Offsetof(disk.TotalBytes), 64},
		{"DiskInfo.FreeBytes", unsafe.Offsetof(disk.FreeBytes), 72},
		{"DiskInfo.ReadBytesSec", unsafe.Offsetof(disk.ReadBytesSec), 80},
		{"DiskInfo.WriteBytesSec", unsafe.Offsetof(disk.WriteBytesSec), 88},
		{"DiskInfo.ReadIOPS", unsafe.Offsetof(disk.ReadIOPS), 96},
		{"DiskInfo.WriteIOPS", unsafe.Offsetof(disk.WriteIOPS), 100},
		{"DiskInfo.QueueLength", unsafe.Offsetof(disk.QueueLength), 104},
		{"sizeof NetInfo", unsafe.Sizeof(net), 184},
		{"NetInfo.BytesRecvSec", unsafe.Offsetof(net.BytesRecvSec), 128},
		{"NetInfo.BytesSentSec", unsafe.Offsetof(net.BytesSentSec), 136},
		{"NetInfo.PacketsRecvSec", unsafe.Offsetof(net.PacketsRecvSec), 144},
		{"NetInfo.PacketsSentSec", unsafe.Offsetof(net.PacketsSentSec), 152},
		{"NetInfo.ErrorsIn", unsafe.Offsetof(net.ErrorsIn), 160},
		{"NetInfo.ErrorsOut", unsafe.Offsetof(net.ErrorsOut), 168},
		{"NetInfo.IsUp", unsafe.Offsetof(net.IsUp), 176},
		{"sizeof SystemInfo", unsafe.Sizeof(sys), 40},
		{"SystemInfo.ProcessCount", unsafe.Offsetof(sys.ProcessCount), 8},
		{"SystemInfo.ThreadCount", unsafe.Offsetof(sys.ThreadCount), 12},
		{"SystemInfo.HandleCount", unsafe.Offsetof(sys.HandleCount), 16},
		{"SystemInfo.ContextSwitchesSec", unsafe.Offsetof(sys.ContextSwitchesSec), 24},
		{"SystemInfo.SystemCallsSec", unsafe.Offsetof(sys.SystemCallsSec), 32},
		// Arrays of records step by their size, as the C arrays do.
		{"stride of CPUInfo.Cores", unsafe.Offsetof(cpu.Cores) + unsafe.Sizeof(cpu.Cores), 7176},
	}
	for _, c := range cases {
		if c.got != c.want {
			t.Errorf("%s = %d, want %d", c.field, c.got, c.want)
		}
	}
}

func TestNameString(t *testing.T) {
	cases := []struct {
		name  string
		bytes []byte
		want  string
	}{
		{"drive", []byte("C:\x00"), "C:"},
		{"empty", nil, ""},
		{"cut at the first NUL", []byte("ab\x00cd\x00"), "ab"},
		{"8-bit bytes kept", []byte("Realtek \xe9\x00"), "Realtek \xe9"},
	}
	for _, c := range cases {
		var d DiskInfo
		copy(d.Name[:], c.bytes)
		var n NetInfo
		copy(n.Name[:], c.bytes)
		if got := d.NameString(); got != c.want {
			t.Errorf("DiskInfo %s: %q, want %q", c.name, got, c.want)
		}
		if got := n.NameString(); got != c.want {
			t.Errorf("NetInfo %s: %q, want %q", c.name, got, c.want)
		}
	}
	// A field without a NUL is read to its end, never beyond.
	var d DiskInfo
	var n NetInfo
	for i := range d.Name {
		d.Name[i] = 'd'
	}
	for i := range n.Name {
		n.Name[i] = 'n'
	}
	if got := d.NameString(); len(got) != DiskNameSize {
		t.Errorf("DiskInfo without a NUL: %d bytes, want %d", len(got), DiskNameSize)
	}
	if got := n.NameString(); len(got) != NetNameSize {
		t.Errorf("NetInfo without a NUL: %d bytes, want %d", len(got), NetNameSize)
	}
}
