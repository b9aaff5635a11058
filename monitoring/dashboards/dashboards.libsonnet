// One dashboard for one host at a time, written without a library so that it needs only jsonnet.
// Rates the library already computes (bytes, packets, context switches per second) are plotted
// as they are; only the counters (errors, collections) go through rate().
local panels = import 'panels.libsonnet';

{
  grafanaDashboards+:: {
    local c = $._config,
    local sel = '%s, %s=~"$instance"' % [c.winperfSelector, c.instanceLabel],
    local q(expr, legend='') = { expr: expr % { sel: sel }, legend: legend },
    local ts = panels.timeseries,
    local stat = panels.stat,

    'winperf-host.json': panels.dashboard(
      title=c.dashboardTitle,
      uid=c.dashboardUid,
      tags=c.dashboardTags,
      instanceQuery='label_values(winperf_exporter_build_info{%s}, %s)' % [c.winperfSelector, c.instanceLabel],
      rows=[
        {
          title: 'Overview',
          height: 5,
          panels: [
            stat('Exporter up', [q('up{%(sel)s}')], 'bool_yes_no', width=3),
            stat('Uptime', [q('winperf_system_uptime_seconds{%(sel)s}')], 's', width=3),
            stat('Logical processors', [q('winperf_cpu_logical_processors{%(sel)s}')], 'short', width=3),
            panels.gauge('Processor usage', [q('winperf_cpu_usage_ratio{%(sel)s}')], width=3),
            panels.gauge('Memory load', [q('winperf_memory_load_ratio{%(sel)s}')], width=3),
            panels.gauge('Commit charge', [q('instance:winperf_memory_commit:ratio{%(sel)s}')], width=3),
            panels.bargauge('Volumes used', [q('1 - instance_volume:winperf_logical_disk_free:ratio{%(sel)s}', '{{volume}}')], width=6),
          ],
        },
        {
          title: 'Processors',
          panels: [
            ts('Processor usage', [
              q('winperf_cpu_usage_ratio{%(sel)s}', 'total'),
              q('instance:winperf_cpu_usage:ratio_avg5m{%(sel)s}', 'total, 5m average'),
            ], 'percentunit', max=1),
            ts('Usage per core', [q('winperf_cpu_core_usage_ratio{%(sel)s}', 'core {{core}}')], 'percentunit', max=1),
            ts('Clock per core', [q('winperf_cpu_core_frequency_hertz{%(sel)s}', 'core {{core}}')], 'hertz'),
          ],
        },
        {
          title: 'Memory',
          panels: [
            ts('Physical memory', [
              q('winperf_memory_physical_bytes{%(sel)s}', 'total'),
              q('winperf_memory_physical_available_bytes{%(sel)s}', 'available'),
            ], 'bytes'),
            ts('Commit charge', [
              q('winperf_memory_committed_bytes{%(sel)s}', 'committed'),
              q('winperf_memory_commit_limit_bytes{%(sel)s}', 'limit'),
            ], 'bytes'),
            ts('Kernel pools and cache', [
              q('winperf_memory_pool_paged_bytes{%(sel)s}', 'paged pool'),
              q('winperf_memory_pool_nonpaged_bytes{%(sel)s}', 'non-paged pool'),
              q('winperf_memory_system_cache_bytes{%(sel)s}', 'system cache'),
            ], 'bytes'),
          ],
        },
        {
          title: 'Volumes',
          panels: [
            ts('Used space', [q('1 - instance_volume:winperf_logical_disk_free:ratio{%(sel)s}', '{{volume}}')], 'percentunit', max=1),
            ts('Free space', [q('winperf_logical_disk_free_bytes{%(sel)s}', '{{volume}}')], 'bytes'),
            ts('Free space in 24 h, at the last 6 h\'s pace', [q('predict_linear(winperf_logical_disk_free_bytes{%(sel)s}[6h], 24 * 3600)', '{{volume}}')], 'bytes'),
          ],
        },
        {
          title: 'Network',
          panels: [
            ts('Traffic', [
              q('winperf_network_receive_bytes_per_second{%(sel)s}', '{{interface}} received'),
              q('-winperf_network_transmit_bytes_per_second{%(sel)s}', '{{interface}} sent'),
            ], 'Bps'),
            ts('Packets', [
              q('winperf_network_receive_packets_per_second{%(sel)s}', '{{interface}} received'),
              q('-winperf_network_transmit_packets_per_second{%(sel)s}', '{{interface}} sent'),
            ], 'pps'),
            ts('Errors', [
              q('rate(winperf_network_receive_errors_total{%(sel)s}[$__rate_interval])', '{{interface}} received'),
              q('rate(winperf_network_transmit_errors_total{%(sel)s}[$__rate_interval])', '{{interface}} sent'),
            ], 'pps'),
            panels.stateTimeline('Interfaces up', [q('winperf_network_up{%(sel)s}', '{{interface}}')]),
          ],
        },
        {
          title: 'System',
          panels: [
            ts('Processes and threads', [
              q('winperf_system_processes{%(sel)s}', 'processes'),
              q('winperf_system_threads{%(sel)s}', 'threads'),
            ], 'short'),
            ts('Handles', [q('winperf_system_handles{%(sel)s}', 'handles')], 'short'),
            ts('Context switches and system calls', [
              q('winperf_system_context_switches_per_second{%(sel)s}', 'context switches'),
              q('winperf_system_system_calls_per_second{%(sel)s}', 'system calls'),
            ], 'ops'),
          ],
        },
        {
          title: 'The exporter',
          panels: [
            ts('Collection time', [q('winperf_exporter_collect_duration_seconds{%(sel)s}', 'collection')], 's'),
            ts('Collections and errors', [
              q('rate(winperf_exporter_collections_total{%(sel)s}[$__rate_interval])', 'collections'),
              q('rate(winperf_exporter_collect_errors_total{%(sel)s}[$__rate_interval])', 'errors'),
            ], 'ops'),
            ts('Textfile errors', [q('winperf_textfile_scrape_error{%(sel)s}', 'any textfile')], 'short'),
          ],
        },
      ],
    ),
  },
}
