// What a deployment changes: the selectors of its scrape job and the alerts' thresholds.
{
  _config+:: {
    // Selects the exporter's series; `up` is read with it too.
    winperfSelector: 'job="winperf"',
    // The label that names a host, as the scrape configuration sets it.
    instanceLabel: 'instance',

    // Percentages, as node-mixin's where it has the same alert.
    cpuHighThreshold: 90,
    memoryHighThreshold: 90,
    commitHighThreshold: 90,
    volumeFreeWarningThreshold: 5,
    volumeFreeCriticalThreshold: 3,
    volumeFillingUpWarningThreshold: 40,
    volumeFillingUpCriticalThreshold: 20,
    networkErrorPercentThreshold: 1,
    // A host up for less than this has just started again.
    rebootUptimeSeconds: 600,

    dashboardTitle: 'Windows host (winperf)',
    dashboardUid: 'winperf-host',
    dashboardTags: ['windows', 'winperf'],
  },
}
