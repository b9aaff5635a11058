// The rules file Prometheus loads: recording rules first, then the alerts that read them.
local mixin = import 'mixin.libsonnet';
std.manifestYamlDoc({ groups: mixin.prometheusRules.groups + mixin.prometheusAlerts.groups },
                    indent_array_in_object=true, quote_keys=false)
