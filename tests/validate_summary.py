# Validates a JSON summary of `bantrisk check` against docs/summary.schema.json: prints one line
# per fault (its place in the document and what is wrong) and nothing for a valid summary.
import json
import sys

import jsonschema

schema_file, summary_file = sys.argv[1], sys.argv[2]
with open(schema_file, encoding="utf-8") as f:
    schema = json.load(f)
with open(summary_file, encoding="utf-8") as f:
    summary = json.load(f)
validator_class = jsonschema.validators.validator_for(schema)
validator_class.check_schema(schema)
faults = ["/".join(str(p) for p in error.absolute_path) + ": " + error.message
          for error in validator_class(schema).iter_errors(summary)]
for fault in sorted(faults):
    print(fault)
