module github.com/quarvel/winperf-go

go 1.19
