"""What the test suites of every face share: imported as `support.*`,
with tests/ on the import path (pytest's pythonpath setting)."""
