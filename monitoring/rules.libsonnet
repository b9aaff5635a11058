// Recording rules: what the alerts and the dashboard read more than once.
{
  prometheusRules+:: {
    local c = $._config,
    groups+: [
      {
        name: 'winperf.rules',
        rules: [
          {
            // The library's total usage, smoothed over a few collections.
            record: 'instance:winperf_cpu_usage:ratio_avg5m',
            expr: 'avg_over_time(winperf_cpu_usage_ratio{%s}[5m])' % c.winperfSelector,
          },
          {
            record: 'instance:winperf_memory_commit:ratio',
            expr: |||
              winperf_memory_committed_bytes{%(sel)s}
                / (winperf_memory_commit_limit_bytes{%(sel)s} > 0)
            ||| % { sel: c.winperfSelector },
          },
          {
            record: 'instance_volume:winperf_logical_disk_free:ratio',
            expr: |||
              winperf_logical_disk_free_bytes{%(sel)s}
                / (winperf_logical_disk_size_bytes{%(sel)s} > 0)
            ||| % { sel: c.winperfSelector },
          },
        ] + [
          // The error counters are totals and the packet figures per-second gauges (the library
          // computes them): errors per second over the window, divided by the packets per second
          // averaged over the same window. With no packets at all the ratio is not a number, and
          // no alert compares true with it.
          {
            record: 'instance_interface:winperf_network_%s_errors:ratio_rate2m' % direction,
            expr: |||
              rate(winperf_network_%(d)s_errors_total{%(sel)s}[2m])
                / avg_over_time(winperf_network_%(d)s_packets_per_second{%(sel)s}[2m])
            ||| % { d: direction, sel: c.winperfSelector },
          }
          for direction in ['receive', 'transmit']
        ] + [
          {
            record: 'instance:winperf_exporter_collect_errors:rate5m',
            expr: 'rate(winperf_exporter_collect_errors_total{%s}[5m])' % c.winperfSelector,
          },
        ],
      },
    ],
  },
}
