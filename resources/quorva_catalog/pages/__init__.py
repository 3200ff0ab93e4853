"""Pages: functions from data to whole HTML documents, one module per area."""
