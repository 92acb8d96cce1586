import Lorvane
def test_import():
    assert Lorvane.__name__ == "Lorvane"
