import os, pyvisa
resource = os.environ.get("TARNWICK_VISA", "TCPIP0::127.0.0.1::5025::SOCKET")
board = pyvisa.ResourceManager("@py").open_resource(resource, read_termination="\n", write_termination="\n")
board.write("CURR 50mA")
print(board.query("*IDN?"), board.query("SYST:ERR?"), board.query("CURR?"), sep="\n")
