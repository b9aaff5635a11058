package winperf

import (
	"errors"
	"testing"
)

// fakeLibrary answers like the DLL: results, counts and an error text chosen by the test.
type fakeLibrary struct {
	result   int32
	message  string
	count    int32
	snapshot []byte
	cleanups int
}

func (f *fakeLibrary) init() int32       { return f.result }
func (f *fakeLibrary) collect() int32    { return f.result }
func (f *fakeLibrary) cleanup()          { f.cleanups++ }
func (f *fakeLibrary) lastError() string { return f.message }
func (f *fakeLibrary) getCPU(info *CPUInfo) int32 {
	info.CoreCount = 4
	return f.result
}
func (f *fakeLibrary) getMemory(*MemoryInfo) int32 { return f.result }
func (f *fakeLibrary) getSystem(*SystemInfo) int32 { return f.result }
func (f *fakeLibrary) getDisks(disks *[MaxDisks]DiskInfo, n *int32) int32 {
	for i := range disks {
		disks[i].Name[0] = byte('A' + i%26)
	}
	*n = f.count
	return f.result
}
func (f *fakeLibrary) getNetwork(nets *[MaxNets]NetInfo, n *int32) int32 {
	*n = f.count
	return f.result
}
func (f *fakeLibrary) snapshotJSON() []byte { return append([]byte(nil), f.snapshot...) }

// useLibrary makes the next call load l (or fail with err), as a fresh process would.
func useLibrary(t *testing.T, l library, err error) *int {
	opens := 0
	open = func() (library, error) {
		opens++
		return l, err
	}
	tryOpen, lib, libErr = true, nil, nil
	t.Cleanup(func() { open, tryOpen, lib, libErr = openLibrary, true, nil, nil })
	return &opens
}

// Every function, as a call that reports its error.
var calls = []struct {
	export string
	call   func() error
}{
	{"winperf_init", Init},
	{"winperf_collect", Collect},
	{"winperf_get_cpu", func() error { _, err := CPU(); return err }},
	{"winperf_get_memory", func() error { _, err := Memory(); return err }},
	{"winperf_get_system", func() error { _, err := System(); return err }},
	{"winperf_get_disks", func() error { _, err := Disks(); return err }},
	{"winperf_get_network", func() error { _, err := Network(); return err }},
}

func TestFailedResultCarriesTheLibraryMessage(t *testing.T) {
	useLibrary(t, &fakeLibrary{result: -1, message: "winperf_get_cpu: NULL pointer provided"}, nil)
	for _, c := range calls {
		err := c.call()
		var e *Error
		if !errors.As(err, &e) || e.Func != c.export || e.Message != "winperf_get_cpu: NULL pointer provided" {
			t.Errorf("%s: error %#v, want an Error of %s with the library's message", c.export, err, c.export)
		}
	}
	if got := (&Error{Func: "winperf_init"}).Error(); got != "winperf: winperf_init failed" {
		t.Errorf("an Error without a message reads %q", got)
	}
}

func TestLoadFailureIsReturnedByEveryCall(t *testing.T) {
	cause := errors.New("winperf: cannot load " + ModuleName)
	opens := useLibrary(t, nil, cause)
	for _, c := range calls {
		if err := c.call(); err != cause {
			t.Errorf("%s: %v, want the load error", c.export, err)
		}
	}
	if _, err := SnapshotJSON(); err != cause {
		t.Errorf("SnapshotJSON: %v, want the load error", err)
	}
	Cleanup()
	if got := LastError(); got != cause.Error() {
		t.Errorf("LastError() = %q, want the load error", got)
	}
	if *opens != 1 {
		t.Errorf("the DLL was looked for %d times, want once", *opens)
	}
}

func TestTableCountsStayWithinTheArray(t *testing.T) {
	cases := []struct {
		count int32
		want  int
	}{{0, 0}, {3, 3}, {MaxDisks, MaxDisks}, {MaxDisks + 1, MaxDisks}, {-1, 0}}
	for _, c := range cases {
		useLibrary(t, &fakeLibrary{count: c.count}, nil)
		disks, err := Disks()
		if err != nil || len(disks) != c.want {
			t.Errorf("count %d: %d disks (%v), want %d", c.count, len(disks), err, c.want)
		}
		if len(disks) > 1 && disks[1].NameString() != "B" {
			t.Errorf("count %d: disk 1 is %q, want the library's second record", c.count, disks[1].NameString())
		}
		nets, err := Network()
		if err != nil || len(nets) != c.want {
			t.Errorf("count %d: %d interfaces (%v), want %d", c.count, len(nets), err, c.want)
		}
	}
}

func TestSnapshot(t *testing.T) {
	fake := &fakeLibrary{snapshot: []byte(`{"timestamp":1}`)}
	useLibrary(t, fake, nil)
	text, err := SnapshotJSON()
	if err != nil || string(text) != `{"timestamp":1}` {
		t.Fatalf("SnapshotJSON() = %q, %v", text, err)
	}
	// The library's "{}" is its failure answer.
	fake.snapshot, fake.message = []byte("{}"), "Failed to allocate yyjson document"
	_, err = SnapshotJSON()
	var e *Error
	if !errors.As(err, &e) || e.Func != "winperf_get_snapshot_json" || e.Message != "Failed to allocate yyjson document" {
		t.Errorf("a \"{}\" snapshot gave %v", err)
	}
}

func TestCleanupReachesTheLibraryOnceLoaded(t *testing.T) {
	fake := &fakeLibrary{}
	useLibrary(t, fake, nil)
	if cpu, err := CPU(); err != nil || cpu.CoreCount != 4 {
		t.Fatalf("CPU() = %d cores, %v", cpu.CoreCount, err)
	}
	Cleanup()
	if fake.cleanups != 1 {
		t.Errorf("%d cleanups, want 1", fake.cleanups)
	}
}
