// Alerts: every one waits (`for:`) long enough that a single slow collection or a boot does not
// page anybody, and names the host and the figure.
{
  prometheusAlerts+:: {
    local c = $._config,
    local host = '{{ $labels.%s }}' % c.instanceLabel,
    local alert(name, expr, forTime, severity, summary, description) = {
      alert: name,
      expr: expr,
      [if forTime != null then 'for']: forTime,
      labels: { severity: severity },
      annotations: { summary: summary, description: description },
    },
    groups+: [
      {
        name: 'winperf.exporter',
        rules: [
          alert('WinperfExporterDown', 'up{%s} == 0' % c.winperfSelector, '5m', 'critical',
                'The winperf exporter cannot be scraped.',
                'Prometheus has not scraped the winperf exporter on %s for 5 minutes.' % host),
          alert('WinperfCollectionsFailing',
                'winperf_exporter_collect_success{%s} == 0 or instance:winperf_exporter_collect_errors:rate5m > 0'
                % c.winperfSelector,
                '10m', 'warning', 'The winperf exporter cannot collect the host metrics.',
                'Collections on %s have failed for 10 minutes; its figures are old or missing.' % host),
          alert('WinperfTextfileError', 'winperf_textfile_scrape_error{%s} == 1' % c.winperfSelector,
                '15m', 'warning', 'A textfile cannot be served.',
                'A textfile or its folder on %s has not been served for 15 minutes; the exporter log and winperf_textfile_file_error name it.' % host),
        ],
      },
      {
        name: 'winperf.host',
        rules: [
          alert('WinperfHighCpuUsage',
                'winperf_cpu_usage_ratio{%s} * 100 > %d' % [c.winperfSelector, c.cpuHighThreshold],
                '15m', 'warning', 'High processor usage.',
                'Processor usage on %s has been above %d%% for 15 minutes: {{ $value | printf "%%.1f" }}%%.'
                % [host, c.cpuHighThreshold]),
          alert('WinperfHighMemoryLoad',
                'winperf_memory_load_ratio{%s} * 100 > %d' % [c.winperfSelector, c.memoryHighThreshold],
                '15m', 'warning', 'High memory load.',
                'Memory load on %s has been above %d%% for 15 minutes: {{ $value | printf "%%.1f" }}%%.'
                % [host, c.memoryHighThreshold]),
          // On Windows a full commit limit fails allocations even while RAM is free.
          alert('WinperfCommitChargeHigh',
                'instance:winperf_memory_commit:ratio * 100 > %d' % c.commitHighThreshold,
                '15m', 'warning', 'The commit charge is close to the commit limit.',
                'The commit charge on %s has been above %d%% of the commit limit for 15 minutes: {{ $value | printf "%%.1f" }}%%; allocations fail when it is reached.'
                % [host, c.commitHighThreshold]),
          alert('WinperfRebooted',
                'winperf_system_uptime_seconds{%s} < %d' % [c.winperfSelector, c.rebootUptimeSeconds],
                null, 'info', 'The host has started again.',
                '%s has been up for {{ $value | humanizeDuration }}.' % host),
        ],
      },
      {
        name: 'winperf.volumes',
        local volume = '{{ $labels.volume }}',
        local free = 'instance_volume:winperf_logical_disk_free:ratio * 100',
        local fillingUp(threshold, hours) =
          '(%s < %d and predict_linear(winperf_logical_disk_free_bytes{%s}[6h], %d * 3600) < 0)'
          % [free, threshold, c.winperfSelector, hours],
        rules: [
          alert('WinperfVolumeFillingUp', fillingUp(c.volumeFillingUpWarningThreshold, 24), '1h',
                'warning', 'A volume is predicted to fill up within 24 hours.',
                'Volume %s on %s has {{ $value | printf "%%.1f" }}%% free and is filling up.'
                % [volume, host]),
          alert('WinperfVolumeFillingUp', fillingUp(c.volumeFillingUpCriticalThreshold, 4), '1h',
                'critical', 'A volume is predicted to fill up within 4 hours.',
                'Volume %s on %s has {{ $value | printf "%%.1f" }}%% free and is filling up fast.'
                % [volume, host]),
          alert('WinperfVolumeAlmostFull', '%s < %d' % [free, c.volumeFreeWarningThreshold], '30m',
                'warning', 'A volume has little space left.',
                'Volume %s on %s has {{ $value | printf "%%.1f" }}%% free.' % [volume, host]),
          alert('WinperfVolumeAlmostFull', '%s < %d' % [free, c.volumeFreeCriticalThreshold], '30m',
                'critical', 'A volume is almost full.',
                'Volume %s on %s has {{ $value | printf "%%.1f" }}%% free.' % [volume, host]),
        ],
      },
      {
        name: 'winperf.network',
        rules: [
          alert('WinperfNetwork%sErrors' % (std.asciiUpper(d[0]) + d[1:]),
                'instance_interface:winperf_network_%s_errors:ratio_rate2m * 100 > %d'
                % [d, c.networkErrorPercentThreshold],
                '1h', 'warning', 'An interface has many %s errors.' % d,
                'Interface {{ $labels.interface }} on %s has had errors in {{ $value | printf "%%.2f" }}%% of its %s packets over the last two minutes, for an hour.'
                % [host, if d == 'receive' then 'received' else 'sent'])
          for d in ['receive', 'transmit']
        ],
      },
    ],
  },
}
