// Package winperf samples a Windows host's processors, memory, logical disks, network
// interfaces and system counters through quarvel-prometheus-winperf.dll.
//
// The DLL is loaded on first use, from the executable's folder or the system directory only,
// never from the current directory or PATH. Every function takes one package-wide lock, because
// the library requires its host to make one call at a time; the functions are safe to call from
// any number of goroutines.
//
// A typical exporter calls Init once, then on each scrape Collect followed by the getters or
// SnapshotJSON, which all read the sample that Collect took, and Cleanup at the end. Per-second
// rates average over the time between two collections.
//
// Outside Windows the package builds, and every call returns an error.
package winperf

import (
	"bytes"
	"sync"
)

// ModuleName is the DLL the package loads.
const ModuleName = "quarvel-prometheus-winperf.dll"

// Error is a library call that returned -1, with the library's reason.
type Error struct {
	Func    string // the export, such as "winperf_collect"
	Message string // winperf_last_error() right after the call; may be empty
}

// Error reads "winperf: EXPORT failed: MESSAGE".
func (e *Error) Error() string {
	if e.Message == "" {
		return "winperf: " + e.Func + " failed"
	}
	return "winperf: " + e.Func + " failed: " + e.Message
}

// library is the DLL's ten exports, each called with the package lock held.
type library interface {
	init() int32
	collect() int32
	cleanup()
	lastError() string
	getCPU(*CPUInfo) int32
	getMemory(*MemoryInfo) int32
	getSystem(*SystemInfo) int32
	getDisks(*[MaxDisks]DiskInfo, *int32) int32
	getNetwork(*[MaxNets]NetInfo, *int32) int32
	snapshotJSON() []byte // a copy of the library's text
}

var (
	mu      sync.Mutex
	open    = openLibrary // replaced by the tests
	lib     library
	libErr  error
	tryOpen = true
)

// loaded returns the library, loading it on the first call; the lock must be held.
func loaded() (library, error) {
	if tryOpen {
		tryOpen = false
		lib, libErr = open()
	}
	return lib, libErr
}

// check turns a -1 result into an Error carrying the library's message.
func check(l library, export string, result int32) error {
	if result == -1 {
		return &Error{Func: export, Message: l.lastError()}
	}
	return nil
}

// Init initialises the library and takes a priming collection, so that the first Collect has
// a previous sample to compute rates against. A second call does nothing.
func Init() error {
	return record(func(l library) error { return check(l, "winperf_init", l.init()) })
}

// Collect takes one sample, which the getters and SnapshotJSON then read.
func Collect() error {
	return record(func(l library) error { return check(l, "winperf_collect", l.collect()) })
}

// Cleanup releases everything the library holds; a later call initialises it again.
func Cleanup() {
	mu.Lock()
	defer mu.Unlock()
	if l, err := loaded(); err == nil {
		l.cleanup()
	}
}

// LastError is the library's text of its last error ("None" before anything, empty after an
// initialisation began), or the reason the DLL could not be loaded.
func LastError() string {
	mu.Lock()
	defer mu.Unlock()
	l, err := loaded()
	if err != nil {
		return err.Error()
	}
	return l.lastError()
}

// CPU is the processor record of the last collection.
func CPU() (CPUInfo, error) {
	var info CPUInfo
	// The call first: the operands of a return are not evaluated in a defined order.
	err := record(func(l library) error { return check(l, "winperf_get_cpu", l.getCPU(&info)) })
	return info, err
}

// Memory is the memory record of the last collection.
func Memory() (MemoryInfo, error) {
	var info MemoryInfo
	// The call first: the operands of a return are not evaluated in a defined order.
	err := record(func(l library) error { return check(l, "winperf_get_memory", l.getMemory(&info)) })
	return info, err
}

// System is the system record of the last collection.
func System() (SystemInfo, error) {
	var info SystemInfo
	// The call first: the operands of a return are not evaluated in a defined order.
	err := record(func(l library) error { return check(l, "winperf_get_system", l.getSystem(&info)) })
	return info, err
}

// Disks are the logical disks of the last collection, at most MaxDisks.
func Disks() ([]DiskInfo, error) {
	var all [MaxDisks]DiskInfo
	return table("winperf_get_disks", all[:], func(l library, n *int32) int32 { return l.getDisks(&all, n) })
}

// Network is the network interfaces of the last collection, at most MaxNets.
func Network() ([]NetInfo, error) {
	var all [MaxNets]NetInfo
	return table("winperf_get_network", all[:], func(l library, n *int32) int32 { return l.getNetwork(&all, n) })
}

// table copies out the records that get wrote into all, as many as it says and all can hold.
func table[T DiskInfo | NetInfo](export string, all []T, get func(library, *int32) int32) ([]T, error) {
	var n int32
	if err := record(func(l library) error { return check(l, export, get(l, &n)) }); err != nil {
		return nil, err
	}
	return append([]T(nil), all[:clamp(n, len(all))]...), nil
}

// SnapshotJSON is the last collection as the library's compact JSON document, with the members
// "timestamp", "cpu", "memory", "disks", "network" and "system". The bytes are the caller's.
func SnapshotJSON() ([]byte, error) {
	var text []byte
	err := record(func(l library) error {
		text = l.snapshotJSON()
		// The library answers "{}" when it cannot render, with the reason in its error text.
		if bytes.Equal(text, []byte("{}")) {
			return &Error{Func: "winperf_get_snapshot_json", Message: l.lastError()}
		}
		return nil
	})
	if err != nil {
		return nil, err
	}
	return text, nil
}

// record runs one use of the library under the package lock.
func record(read func(library) error) error {
	mu.Lock()
	defer mu.Unlock()
	l, err := loaded()
	if err != nil {
		return err
	}
	return read(l)
}

// clamp keeps a count the library returned within the caller's array.
func clamp(n int32, capacity int) int {
	if n < 0 {
		return 0
	}
	if int(n) > capacity {
		return capacity
	}
	return int(n)
}
