def pytest_configure(config):
    config.addinivalue_line("markers", "realtime: runs over the pseudo-terminal simulator in real time")
