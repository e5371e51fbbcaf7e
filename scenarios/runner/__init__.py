"""The runner of the cases of scenarios/ (run.py is its command): README.md there maps its
modules."""
