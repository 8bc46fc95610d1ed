"""DORVANE's release check, and what the release tools share with it: the release contract
(contract.py) and the MSI reader (msi.py)."""
