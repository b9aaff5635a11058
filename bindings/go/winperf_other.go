//go:build !windows

package winperf

import "errors"

func openLibrary() (library, error) {
	return nil, errors.New("winperf: " + ModuleName + " runs on Windows only")
}
