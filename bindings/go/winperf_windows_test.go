package winperf

// These run against the real DLL beside the test program: cross-compile with
// GOOS=windows GOARCH=amd64 go test -c, put quarvel-prometheus-winperf.dll beside it, run it.

import (
	"encoding/json"
	"errors"
	"fmt"
	"os"
	"runtime"
	"strings"
	"sync"
	"sync/atomic"
	"testing"
	"time"
	"unicode/utf8"
	"unsafe"
)

// With WINPERF_GO_EXPECT_LOAD_ERROR set, the program runs where the DLL cannot be loaded (not
// beside it, or a DLL lacking exports) and checks that every call says why instead of
// panicking.
func TestMain(m *testing.M) {
	if want := os.Getenv("WINPERF_GO_EXPECT_LOAD_ERROR"); want != "" {
		os.Exit(expectLoadError(want))
	}
	os.Exit(m.Run())
}

func expectLoadError(want string) int {
	failed := 0
	for _, c := range calls {
		if err := c.call(); err == nil || !strings.Contains(err.Error(), want) {
			fmt.Printf("FAIL: %s returned %v, want an error with %q\n", c.export, err, want)
			failed = 1
		}
	}
	if _, err := SnapshotJSON(); err == nil {
		fmt.Println("FAIL: SnapshotJSON returned no error")
		failed = 1
	}
	Cleanup()
	fmt.Printf("load error: %s\n", LastError())
	return failed
}

func TestRecordsFromTheDLL(t *testing.T) {
	t.Logf("record sizes: CoreInfo %d, CPUInfo %d, MemoryInfo %d, DiskInfo %d, NetInfo %d, SystemInfo %d",
		unsafe.Sizeof(CoreInfo{}), unsafe.Sizeof(CPUInfo{}), unsafe.Sizeof(MemoryInfo{}),
		unsafe.Sizeof(DiskInfo{}), unsafe.Sizeof(NetInfo{}), unsafe.Sizeof(SystemInfo{}))
	if err := Init(); err != nil {
		t.Fatal(err)
	}
	if err := Collect(); err != nil {
		t.Fatal(err)
	}
	cpu, err := CPU()
	if err != nil {
		t.Fatal(err)
	}
	if int(cpu.CoreCount) != runtime.NumCPU() {
		t.Errorf("%d cores, the system has %d processors", cpu.CoreCount, runtime.NumCPU())
	}
	for i := 0; i < int(cpu.CoreCount); i++ {
		if core := cpu.Cores[i]; core.UsagePercent < 0 || core.UsagePercent > 100 || core.FrequencyMHz == 0 {
			t.Errorf("core %d: %+v", i, core)
		}
	}
	mem, err := Memory()
	if err != nil {
		t.Fatal(err)
	}
	if mem.TotalPhysicalBytes == 0 || mem.AvailablePhysicalBytes > mem.TotalPhysicalBytes ||
		mem.MemoryLoadPercent < 0 || mem.MemoryLoadPercent > 100 {
		t.Errorf("memory: %+v", mem)
	}
	sys, err := System()
	if err != nil {
		t.Fatal(err)
	}
	if sys.ProcessCount == 0 || sys.ThreadCount < sys.ProcessCount {
		t.Errorf("system: %+v", sys)
	}
	disks, err := Disks()
	if err != nil {
		t.Fatal(err)
	}
	if len(disks) == 0 {
		t.Error("no disks")
	}
	for _, d := range disks {
		name := d.NameString()
		if len(name) != 2 || name[1] != ':' || d.TotalBytes == 0 || d.FreeBytes > d.TotalBytes {
			t.Errorf("disk %q: %+v", name, d)
		}
	}
	nets, err := Network()
	if err != nil {
		t.Fatal(err)
	}
	names := []string{}
	for _, n := range nets {
		names = append(names, n.NameString())
		if n.NameString() == "" || (n.IsUp != 0 && n.IsUp != 1) {
			t.Errorf("interface %q: up %d", n.NameString(), n.IsUp)
		}
	}
	t.Logf("%d cores, %d MiB physical memory (%d MiB available), %d processes, %d threads",
		cpu.CoreCount, mem.TotalPhysicalBytes>>20, mem.AvailablePhysicalBytes>>20, sys.ProcessCount, sys.ThreadCount)
	for _, d := range disks {
		t.Logf("disk %s %d GiB, %d GiB free", d.NameString(), d.TotalBytes>>30, d.FreeBytes>>30)
	}
	t.Logf("interfaces: %s", strings.Join(names, ", "))
}

// snapshot is the document's members that the getters also hand out.
type snapshot struct {
	CPU struct {
		CoreCount uint32            `json:"core_count"`
		Cores     []json.RawMessage `json:"cores"`
	} `json:"cpu"`
	Memory struct {
		TotalPhysicalBytes uint64 `json:"total_physical_bytes"`
	} `json:"memory"`
	Disks []struct {
		Name       string `json:"name"`
		TotalBytes uint64 `json:"total_bytes"`
		FreeBytes  uint64 `json:"free_bytes"`
	} `json:"disks"`
	Network []struct {
		Name string `json:"name"`
	} `json:"network"`
}

func parseSnapshot(text []byte) (snapshot, error) {
	var members map[string]json.RawMessage
	if err := json.Unmarshal(text, &members); err != nil {
		return snapshot{}, err
	}
	for _, key := range []string{"timestamp", "cpu", "memory", "disks", "network", "system"} {
		if _, ok := members[key]; !ok {
			return snapshot{}, fmt.Errorf("no %q in %s", key, text)
		}
	}
	if len(members) != 6 {
		return snapshot{}, fmt.Errorf("%d members, not 6", len(members))
	}
	var s snapshot
	err := json.Unmarshal(text, &s)
	if err == nil && (s.CPU.CoreCount != uint32(runtime.NumCPU()) || len(s.CPU.Cores) != int(s.CPU.CoreCount)) {
		err = fmt.Errorf("core_count %d with %d cores", s.CPU.CoreCount, len(s.CPU.Cores))
	}
	return s, err
}

func TestSnapshotAgreesWithTheGetters(t *testing.T) {
	if err := Collect(); err != nil {
		t.Fatal(err)
	}
	text, err := SnapshotJSON()
	if err != nil {
		t.Fatal(err)
	}
	s, err := parseSnapshot(text)
	if err != nil {
		t.Fatal(err)
	}
	cpu, _ := CPU()
	mem, _ := Memory()
	disks, _ := Disks()
	nets, _ := Network()
	if s.CPU.CoreCount != cpu.CoreCount || s.Memory.TotalPhysicalBytes != mem.TotalPhysicalBytes {
		t.Errorf("snapshot: %d cores, %d bytes; getters: %d cores, %d bytes", s.CPU.CoreCount,
			s.Memory.TotalPhysicalBytes, cpu.CoreCount, mem.TotalPhysicalBytes)
	}
	if len(s.Disks) != len(disks) {
		t.Fatalf("snapshot: %d disks, getter: %d", len(s.Disks), len(disks))
	}
	for i, d := range disks {
		if got := s.Disks[i]; got.Name != d.NameString() || got.TotalBytes != d.TotalBytes || got.FreeBytes != d.FreeBytes {
			t.Errorf("disk %d: snapshot %+v, getter %q %d %d", i, got, d.NameString(), d.TotalBytes, d.FreeBytes)
		}
	}
	if len(s.Network) != len(nets) {
		t.Fatalf("snapshot: %d interfaces, getter: %d", len(s.Network), len(nets))
	}
	for i, n := range nets {
		// The document has names as UTF-8; the records keep the system's bytes.
		if name := n.NameString(); utf8.ValidString(name) && s.Network[i].Name != name {
			t.Errorf("interface %d: snapshot %q, getter %q", i, s.Network[i].Name, name)
		}
	}
	// The library frees its text at the next snapshot; the bytes handed out are a copy.
	kept := string(text)
	if _, err := SnapshotJSON(); err != nil {
		t.Fatal(err)
	}
	Cleanup()
	if string(text) != kept {
		t.Error("the snapshot's bytes changed after the next snapshot and a cleanup")
	}
	t.Logf("snapshot: %d bytes, %d cores, %d disks, %d interfaces", len(text), s.CPU.CoreCount, len(s.Disks), len(s.Network))
}

// The Go functions cannot make a bad call, so these call the exports with bad arguments.
func TestBadCallCarriesTheLibraryMessage(t *testing.T) {
	mu.Lock()
	l, err := loaded()
	mu.Unlock()
	if err != nil {
		t.Fatal(err)
	}
	d := l.(*dll)
	var n int32
	var disks [MaxDisks]DiskInfo
	cases := []struct {
		export string
		call   func() int32
		want   string
	}{
		{"winperf_get_cpu", func() int32 { return d.getCPU(nil) }, "winperf_get_cpu: NULL pointer provided"},
		{"winperf_get_memory", func() int32 { return d.getMemory(nil) }, "winperf_get_memory: NULL pointer provided"},
		{"winperf_get_disks", func() int32 {
			return d.call(procGetDisks, uintptr(unsafe.Pointer(&disks)), 0, uintptr(unsafe.Pointer(&n)))
		}, "winperf_get_disks: Invalid arguments"},
		{"winperf_get_network", func() int32 { return d.getNetwork(nil, &n) }, "winperf_get_network: Invalid arguments"},
	}
	for _, c := range cases {
		mu.Lock()
		err := check(d, c.export, c.call())
		mu.Unlock()
		var e *Error
		if !errors.As(err, &e) || e.Message != c.want {
			t.Errorf("%s: %v, want the message %q", c.export, err, c.want)
		}
		if got := LastError(); got != c.want {
			t.Errorf("LastError() after %s = %q", c.export, got)
		}
		t.Logf("%v", err)
	}
}

// Go callers are concurrent: 32 goroutines at once, for a few seconds.
func TestConcurrentCalls(t *testing.T) {
	const goroutines = 32
	deadline := time.Now().Add(3 * time.Second)
	var calls, snapshots, failures atomic.Int64
	var wg sync.WaitGroup
	for g := 0; g < goroutines; g++ {
		wg.Add(1)
		go func(g int) {
			defer wg.Done()
			for i := g; time.Now().Before(deadline); i++ {
				var err error
				switch i % 5 {
				case 0:
					err = Collect()
				case 1:
					var cpu CPUInfo
					if cpu, err = CPU(); err == nil && int(cpu.CoreCount) != runtime.NumCPU() {
						err = fmt.Errorf("CPU(): %d cores", cpu.CoreCount)
					}
				case 2:
					_, err = Disks()
					if err == nil {
						_, err = Network()
					}
				case 3:
					_, err = Memory()
					if err == nil {
						_, err = System()
					}
				case 4:
					var text []byte
					if text, err = SnapshotJSON(); err == nil {
						_, err = parseSnapshot(text)
						snapshots.Add(1)
					}
				}
				calls.Add(1)
				if err != nil && failures.Add(1) <= 5 {
					t.Errorf("goroutine %d: %v", g, err)
				}
			}
		}(g)
	}
	wg.Wait()
	t.Logf("%d goroutines: %d calls, %d snapshots parsed, %d failures", goroutines, calls.Load(),
		snapshots.Load(), failures.Load())
}

func TestCleanupThenUseAgain(t *testing.T) {
	Cleanup()
	cpu, err := CPU()
	if err != nil || int(cpu.CoreCount) != runtime.NumCPU() {
		t.Errorf("CPU() after Cleanup: %d cores, %v", cpu.CoreCount, err)
	}
	if got := LastError(); got != "" {
		t.Errorf("LastError() after a fresh initialisation = %q, want empty", got)
	}
	Cleanup()
}
