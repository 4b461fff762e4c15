"""Start the engine, print its version, stop it again."""
import _pyveltosdk as sdk


def main():
    sdk.initialize('{"appId":"hello"}')
    print("engine version:", sdk.getVersion().decode())
    sdk.terminate()


if __name__ == "__main__":
    main()
